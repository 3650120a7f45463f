// Builds where corvflt.sys's binding links against the simulated NDIS: every host-neutral
// driver test runs on the fake host and on the binding (receives indicated normally, and
// with the resources flag).
#include "driver_host_env.h"

namespace corvflt::testing {

std::vector<host_kind> driver_hosts()
{
    return {host_kind::fake, host_kind::ndis, host_kind::ndis_low_resources};
}

std::unique_ptr<host_env> make_host_env(host_kind kind, driver_parameters parameters)
{
    if (kind == host_kind::fake)
        return make_fake_env(parameters);
    return make_ndis_env(parameters, kind == host_kind::ndis_low_resources);
}

}  // namespace corvflt::testing
