#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

HRESULT CDistillationMap::ComputeEnvelopeLLE() {
    lle_.tie_count = kTieLines;
    error_code = 0;
    message_code = 0;
    return E_NOTIMPL;
}

HRESULT CDistillationMap::ComputeEnvelopeVLLE() {
    vlle_.tie_count = kTieLines;
    error_code = 0;
    message_code = 0;
    return E_NOTIMPL;
}

}  // namespace ternival::server
