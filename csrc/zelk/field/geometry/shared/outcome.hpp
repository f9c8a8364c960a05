// What a native road did: answered, failed with an exception set, or declined
// (no exception, nothing changed) so that the general or NumPy road runs.
#pragma once

namespace zelk {

enum class Outcome { Done, Error, Declined };

}  // namespace zelk
