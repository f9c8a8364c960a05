// zelk.field.geometry.polygon: the class tables of PolygonRGJ and
// MultiPolygonRGJ and the module's entry point.
#include "zelk/field/geometry/polygon/polygon.hpp"

#include "zelk/field/geometry/shared/args.hpp"
#include "zelk/field/geometry/shared/fields.hpp"
#include "zelk/field/geometry/shared/module.hpp"

namespace zelk::polygon {
namespace {

// --- tables -------------------------------------------------------------------

constexpr MethodDef kPolygonInit{"__init__",
                                 SIG("PolygonRGJ", "__init__",
                                     {{"coordinates", nullptr},
                                      {"repulsion", "None"},
                                      {"properties", "None"},
                                      {"optional_dim", "2"}},
                                     true),
                                 polygon_init};
constexpr MethodDef kPolygonBuildCache{"_build_segment_cache",
                                       SIG("PolygonRGJ", "_build_segment_cache", {}, false),
                                       polygon_build_segment_cache};
constexpr MethodDef kPolygonSetCoordinates{
    "set_coordinates", SIG("PolygonRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    polygon_set_coordinates};
constexpr MethodDef kPolygonSetRepulsion{
    "set_repulsion", SIG("PolygonRGJ", "set_repulsion", {{"new_repulsion", nullptr}}, false),
    polygon_set_repulsion};
constexpr MethodDef kPolygonInBbox{"in_bbox", SIG("PolygonRGJ", "in_bbox", {{"x", nullptr}}, false),
                                   polygon_in_bbox};
constexpr MethodDef kPolygonRepulsionVector{
    "repulsion_vector",
    SIG("PolygonRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    polygon_repulsion_vector};
constexpr MethodDef kPolygonToRGeoJSON{"toRGeoJSON", SIG("PolygonRGJ", "toRGeoJSON", {}, false),
                                       polygon_to_rgeojson};

constexpr MethodDef kMultiInit{"__init__",
                               SIG("MultiPolygonRGJ", "__init__",
                                   {{"coordinates", nullptr},
                                    {"repulsion", "None"},
                                    {"properties", "None"},
                                    {"optional_dim", "2"}},
                                   true),
                               multi_init};
constexpr MethodDef kMultiSetCoordinates{
    "set_coordinates", SIG("MultiPolygonRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    multi_set_coordinates};
constexpr MethodDef kMultiInBbox{
    "in_bbox", SIG("MultiPolygonRGJ", "in_bbox", {{"x", nullptr}}, false), multi_in_bbox};
constexpr MethodDef kMultiGetCenterPoint{"get_center_point",
                                         SIG("MultiPolygonRGJ", "get_center_point", {}, false),
                                         multi_get_center_point};
constexpr MethodDef kMultiRepulsionVector{
    "repulsion_vector",
    SIG("MultiPolygonRGJ", "repulsion_vector", {{"x", nullptr}, {"min_dist_select", "True"}}, true),
    multi_repulsion_vector};
constexpr MethodDef kMultiToRGeoJSON{"toRGeoJSON", SIG("MultiPolygonRGJ", "toRGeoJSON", {}, false),
                                     multi_to_rgeojson};

PyMethodDef kPolygonMethods[] = {
    method_entry<kPolygonBuildCache>(),      method_entry<kPolygonSetCoordinates>(),
    method_entry<kPolygonSetRepulsion>(),    method_entry<kPolygonInBbox>(),
    method_entry<kPolygonRepulsionVector>(), method_entry<kPolygonToRGeoJSON>(),
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef kMultiMethods[] = {
    method_entry<kMultiSetCoordinates>(), method_entry<kMultiInBbox>(),
    method_entry<kMultiGetCenterPoint>(), method_entry<kMultiRepulsionVector>(),
    method_entry<kMultiToRGeoJSON>(),     {nullptr, nullptr, 0, nullptr},
};

constexpr FieldDef kPolygonFields[] = {
    {"rings", FieldKind::List, offsetof(PolygonObject, rings)},
    segment_field(0, offsetof(PolygonObject, segments)),
    segment_field(1, offsetof(PolygonObject, segments)),
    segment_field(2, offsetof(PolygonObject, segments)),
    segment_field(3, offsetof(PolygonObject, segments)),
    {"metric", FieldKind::Object, offsetof(PolygonObject, metric)},
    segment_count_field(offsetof(PolygonObject, S)),
};
constexpr FieldDef kMultiFields[] = {
    {"polygons", FieldKind::List, offsetof(MultiPolygonObject, polygons)},
    segment_field(0, offsetof(MultiPolygonObject, segments)),
    segment_field(1, offsetof(MultiPolygonObject, segments)),
    segment_field(2, offsetof(MultiPolygonObject, segments)),
    segment_field(3, offsetof(MultiPolygonObject, segments)),
    segment_count_field(offsetof(MultiPolygonObject, S)),
};

// State order: field names in code-point order. bbox 6, coordinates 0,
// eye_repulsion 3, grad_matrix 4, inv_repulsion 2, properties 5, repulsion 1.
constexpr PickleDef kPolygonPickle{
    {&kPolygonFields[6], &kPolygonFields[2], &kPolygonFields[3], &kPolygonFields[4],
     &kBaseFields[6], &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2],
     &kPolygonFields[5], &kPolygonFields[1], &kBaseFields[5], &kBaseFields[1], &kPolygonFields[0]},
    {0x5381b98, 0x1976dbf, 0xbdeaa06}};
constexpr PickleDef kMultiPickle{
    {&kMultiFields[5], &kMultiFields[2], &kMultiFields[3], &kMultiFields[4], &kBaseFields[6],
     &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kBaseFields[2], &kMultiFields[1],
     &kMultiFields[0], &kBaseFields[5], &kBaseFields[1]},
    {0xe734440, 0xc1cbf44, 0xd9d07e6}};

ClassDef kClasses[] = {
    {.name = "PolygonRGJ",
     .rgj_type = "Polygon",
     .base = BaseRef::RGJGeometry,
     .basicsize = sizeof(PolygonObject),
     .slots = instance_slots<kBaseObjectFields, kBaseObjectFields + 8>(),
     .own_fields = kPolygonFields,
     .init = &init_trampoline<kPolygonInit>,
     .methods = kPolygonMethods,
     .pickle = &kPolygonPickle,
     .native_view = &polygon_native_view},
    {.name = "MultiPolygonRGJ",
     .rgj_type = "MultiPolygon",
     .base = BaseRef::MultiRGJGeometry,
     .basicsize = sizeof(MultiPolygonObject),
     .slots = instance_slots<kBaseObjectFields, kBaseObjectFields + 6>(),
     .own_fields = kMultiFields,
     .init = &init_trampoline<kMultiInit>,
     .methods = kMultiMethods,
     .pickle = &kMultiPickle,
     .native_view = &multipolygon_native_view},
};

const ModuleDef kModuleDef{.short_name = "polygon",
                           .full_name = kModule,
                           .doc = "PolygonRGJ / MultiPolygonRGJ.",
                           .base_types = {"RGJGeometry", "MultiRGJGeometry"},
                           .import_kernels = true,
                           .builtins = {"object", "super", nullptr},
                           .classes = kClasses};

}  // namespace
}  // namespace zelk::polygon

PyMODINIT_FUNC PyInit_polygon() {
    return zelk::module_init(zelk::polygon::kModuleDef);
}
