// The Matrix bridge: not built yet.
#include "bridges/bridge.h"

namespace bridges {

std::unique_ptr<Bridge> make_matrix_bridge(Service&, const BridgeOptions&) { return nullptr; }

}  // namespace bridges
