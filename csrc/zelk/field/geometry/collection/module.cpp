// zelk.field.geometry.collection: the class table of GeometryCollectionRGJ
// and the module's entry point.
#include "zelk/field/geometry/collection/collection.hpp"

#include "zelk/field/geometry/shared/module.hpp"

namespace zelk::collection {
namespace {

// --- tables -------------------------------------------------------------------

constexpr MethodDef kInit{"__init__",
                          SIG("GeometryCollectionRGJ", "__init__",
                              {{"geometries", nullptr}, {"properties", "None"}}, true),
                          init_body};
constexpr MethodDef kSetCoordinates{
    "set_coordinates",
    SIG("GeometryCollectionRGJ", "set_coordinates", {{"new_coords", nullptr}}, false),
    set_coordinates_body};
constexpr MethodDef kSetRepulsion{
    "set_repulsion",
    SIG("GeometryCollectionRGJ", "set_repulsion", {{"new_repulsion", nullptr}}, false),
    set_repulsion_body};
constexpr MethodDef kInBbox{
    "in_bbox", SIG("GeometryCollectionRGJ", "in_bbox", {{"x", nullptr}}, false), in_bbox_body};
constexpr MethodDef kGetDistMatrix{"get_dist_matrix",
                                   SIG("GeometryCollectionRGJ", "get_dist_matrix",
                                       {{"scaled", "True"}, {"inverted", "True"}}, false),
                                   get_dist_matrix_body};
constexpr MethodDef kGetCenterPoint{"get_center_point",
                                    SIG("GeometryCollectionRGJ", "get_center_point", {}, false),
                                    get_center_point_body};
constexpr MethodDef kSquaredDist{
    "squared_dist",
    SIG("GeometryCollectionRGJ", "squared_dist",
        {{"x", nullptr}, {"scaled", "True"}, {"inverted", "True"}, {"return_reference", "False"}},
        true),
    squared_dist_body};
constexpr MethodDef kRepulsionVector{"repulsion_vector",
                                     SIG("GeometryCollectionRGJ", "repulsion_vector",
                                         {{"x", nullptr}, {"min_dist_select", "True"}}, true),
                                     repulsion_vector_body};
constexpr MethodDef kGradient{
    "gradient", SIG("GeometryCollectionRGJ", "gradient", {{"x", nullptr}}, true), gradient_body};
constexpr MethodDef kToRGeoJSON{"toRGeoJSON", SIG("GeometryCollectionRGJ", "toRGeoJSON", {}, false),
                                to_rgeojson_body};

PyMethodDef kMethods[] = {
    method_entry<kSetCoordinates>(),  method_entry<kSetRepulsion>(),   method_entry<kInBbox>(),
    method_entry<kGetDistMatrix>(),   method_entry<kGetCenterPoint>(), method_entry<kSquaredDist>(),
    method_entry<kRepulsionVector>(), method_entry<kGradient>(),       method_entry<kToRGeoJSON>(),
    {nullptr, nullptr, 0, nullptr},
};

// bbox, coordinates, eye_repulsion, grad_matrix, grad_matrixes, inv_repulsion,
// inv_repulsions, properties, repulsion, rgjs
constexpr PickleDef kPickle{
    {&kBaseFields[6], &kBaseFields[0], &kBaseFields[3], &kBaseFields[4], &kOwnFields[2],
     &kBaseFields[2], &kOwnFields[1], &kBaseFields[5], &kBaseFields[1], &kOwnFields[0]},
    {0x96a235a, 0x3eb5c46, 0x7a84316}};

ClassDef kClasses[] = {
    {.name = "GeometryCollectionRGJ",
     .rgj_type = "GeometryCollection",
     .base = BaseRef::MultiRGJGeometry,
     .basicsize = sizeof(CollectionObject),
     .slots = instance_slots<7, 11>(),
     .own_fields = kOwnFields,
     .init = &init_trampoline<kInit>,
     .methods = kMethods,
     .pickle = &kPickle,
     .native_fields = &native_fields},
};

const ModuleDef kModuleDef{.short_name = "collection",
                           .full_name = kModule,
                           .doc = "GeometryCollectionRGJ.",
                           .base_types = {"MultiRGJGeometry", "RGJGeometry"},
                           .classes = kClasses};

}  // namespace
}  // namespace zelk::collection

PyMODINIT_FUNC PyInit_collection() {
    return zelk::module_init(zelk::collection::kModuleDef);
}
