// Builds without the simulated NDIS (the Windows cross build, where the binding is
// corvflt.sys itself): the host-neutral driver tests run on the fake host only.
#include "driver_host_env.h"

namespace corvflt::testing {

std::vector<host_kind> driver_hosts() { return {host_kind::fake}; }

std::unique_ptr<host_env> make_host_env(host_kind, driver_parameters parameters)
{
    return make_fake_env(parameters);
}

}  // namespace corvflt::testing
