// The map's liquid-liquid envelopes: at the map's temperature (LLE) and on
// the boiling surface (VLLE).
#include <cmath>

#include "envelope/lle_envelope.h"
#include "envelope/vlle_envelope.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

HRESULT CDistillationMap::ComputeEnvelopeLLE() {
    // The envelope is at the map's temperature.  One that is not a number
    // is refused; a temperature at or below zero goes to the routine,
    // whose flashes fail and say so through the codes.
    if (!ready() || !std::isfinite(temperature)) return E_FAIL;
    lle_.tie_count = kTieLines;
    error_code = 0;
    message_code = 0;
    LLE_Envelope(3, pressure, temperature, step_size_env, ids_, field(data_.lle_model), lle_.curve_count, lle_.points,
                 lle_.curves, lle_.tie_count, lle_.ties, message_code, error_code);
    return S_OK;
}

HRESULT CDistillationMap::ComputeEnvelopeVLLE() {
    if (!ready()) return E_FAIL;
    vlle_.tie_count = kTieLines;
    error_code = 0;
    message_code = 0;
    VLLE_Envelope(3, pressure, step_size_env, ids_, field(data_.opset), vlle_.curve_count, vlle_.points, vlle_.curves,
                  vlle_.tie_count, vlle_.ties, vlle_.tie_points, vlle_.plait_temperature, message_code, error_code);
    return S_OK;
}

}  // namespace ternival::server
