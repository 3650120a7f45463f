#pragma once
// Tests only: the synchronous WinHttpGetProxyForUrl path of discovery is what systems without
// the asynchronous resolver API take; this makes the Windows build take it too, so that the
// path can be exercised where the asynchronous API is present (or present but not working,
// as under Wine). Affects resolvers constructed afterwards.

namespace platform::win32 {

void use_synchronous_proxy_lookup_for_testing(bool on);

}  // namespace platform::win32
