#include "platform/system_proxy.h"

#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <mutex>
#include <stdexcept>

#include "platform/win32/system_proxy_testing.h"
#include "platform/win32/utf16_text.h"
#include "platform/win32_errors.h"

namespace platform {

static_assert(error_invalid_operation == ERROR_INVALID_OPERATION);
static_assert(proxy_access_no_proxy == WINHTTP_ACCESS_TYPE_NO_PROXY);
static_assert(proxy_access_named_proxy == WINHTTP_ACCESS_TYPE_NAMED_PROXY);
static_assert(static_cast<int>(proxy_scheme::http) == INTERNET_SCHEME_HTTP);
static_assert(static_cast<int>(proxy_scheme::https) == INTERNET_SCHEME_HTTPS);
static_assert(static_cast<int>(proxy_scheme::ftp) == INTERNET_SCHEME_FTP);
static_assert(static_cast<int>(proxy_scheme::socks) == INTERNET_SCHEME_SOCKS);

namespace {

// The asynchronous resolver API exists from Windows 8 on. It is looked up in the winhttp.dll
// the process already has loaded, so that the program still starts (and takes the
// synchronous path) where it is missing. Written once, read by every resolver afterwards.
struct resolver_functions {
    DWORD(WINAPI* create_proxy_resolver)(HINTERNET, HINTERNET*) = nullptr;
    DWORD(WINAPI* get_proxy_for_url_ex)(HINTERNET, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, DWORD_PTR) = nullptr;
    DWORD(WINAPI* get_proxy_result)(HINTERNET, WINHTTP_PROXY_RESULT*) = nullptr;
    VOID(WINAPI* free_proxy_result)(WINHTTP_PROXY_RESULT*) = nullptr;

    bool all_found() const
    {
        return create_proxy_resolver && get_proxy_for_url_ex && get_proxy_result && free_proxy_result;
    }
};

resolver_functions ex_functions;
std::once_flag ex_functions_once;
std::atomic<bool> synchronous_for_testing{false};

template <typename Function>
void look_up(HMODULE module, const char* name, Function& out)
{
    // Through void(*)(): the one function pointer type GCC lets FARPROC become silently.
    out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

void look_up_ex_functions()
{
    const HMODULE winhttp = ::GetModuleHandleW(L"winhttp.dll");
    if (!winhttp)
        return;
    resolver_functions found;
    look_up(winhttp, "WinHttpCreateProxyResolver", found.create_proxy_resolver);
    look_up(winhttp, "WinHttpGetProxyForUrlEx", found.get_proxy_for_url_ex);
    look_up(winhttp, "WinHttpGetProxyResult", found.get_proxy_result);
    look_up(winhttp, "WinHttpFreeProxyResult", found.free_proxy_result);
    if (found.all_found())
        ex_functions = found;
}

// Errors after which the next source of configuration is tried: detection or the script
// found nothing usable, which is the normal case on most networks.
bool try_next_source(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
    case ERROR_INVALID_PARAMETER:
    case ERROR_WINHTTP_TIMEOUT:
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
    case ERROR_WINHTTP_LOGIN_FAILURE:
    case ERROR_WINHTTP_OPERATION_CANCELLED:
    case ERROR_WINHTTP_BAD_AUTO_PROXY_SCRIPT:
    case ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT:
    case ERROR_WINHTTP_AUTO_PROXY_SERVICE_ERROR:
    case ERROR_WINHTTP_AUTODETECTION_FAILED: return true;
    default: return false;
    }
}

void free_text(LPWSTR& text)
{
    if (text)
        ::GlobalFree(text);
    text = nullptr;
}

// The user's settings; frees whatever text the resolver did not take over.
struct ie_config : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
    ie_config() : WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{} {}
    ~ie_config()
    {
        free_text(lpszAutoConfigUrl);
        free_text(lpszProxy);
        free_text(lpszProxyBypass);
    }
    ie_config(const ie_config&) = delete;
    ie_config& operator=(const ie_config&) = delete;
};

// Outcome of one automatic lookup. `ok` is the call's success; `error` its code, which may
// be 0 on a failure that set none.
struct lookup_outcome {
    bool ok = false;
    DWORD error = ERROR_SUCCESS;
};

// What one discovery holds. The WinHTTP callback writes request_error and proxy_result on
// one of WinHTTP's threads and then sets request_event; the resolving thread reads them only
// after its wait on that event returns.
struct resolver_state {
    HINTERNET session = nullptr;
    bool resolved = false;
    bool ex_available = false;
    DWORD request_error = ERROR_SUCCESS;
    HANDLE request_event = nullptr;
    DWORD access_type = WINHTTP_ACCESS_TYPE_NO_PROXY;
    LPWSTR proxy = nullptr;   // GlobalFree
    LPWSTR bypass = nullptr;  // GlobalFree
    bool from_auto = false;
    WINHTTP_PROXY_RESULT proxy_result{};  // released with WinHttpFreeProxyResult
    std::vector<std::string> warnings;    // none on Windows

    void release_proxy_result()
    {
        if (ex_available && (proxy_result.cEntries || proxy_result.pEntries))
            ex_functions.free_proxy_result(&proxy_result);
        proxy_result = {};
    }
};

// Runs on a WinHTTP thread for the one request of `resolver`; ends it either way.
void CALLBACK on_resolver_status(HINTERNET resolver, DWORD_PTR context, DWORD status, LPVOID info, DWORD)
{
    auto* s = reinterpret_cast<resolver_state*>(context);
    if (!s)
        return;
    if (status == WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE) {
        s->request_error = ex_functions.get_proxy_result(resolver, &s->proxy_result);
    } else if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
        const auto* result = static_cast<const WINHTTP_ASYNC_RESULT*>(info);
        if (!result || result->dwResult != API_GET_PROXY_FOR_URL)
            return;
        s->request_error = result->dwError;
    } else {
        return;
    }
    ::WinHttpCloseHandle(resolver);
    ::SetEvent(s->request_event);
}

// One asynchronous request on a resolver of its own; waits for its completion.
DWORD request_async(resolver_state& s, const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS& options)
{
    s.release_proxy_result();
    HINTERNET resolver = nullptr;
    if (const DWORD error = ex_functions.create_proxy_resolver(s.session, &resolver); error != ERROR_SUCCESS)
        return error;
    if (::WinHttpSetStatusCallback(resolver, on_resolver_status,
                                   WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE,
                                   0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        const DWORD error = ::GetLastError();
        ::WinHttpCloseHandle(resolver);
        return error;
    }
    s.request_error = ERROR_SUCCESS;
    const DWORD started =
        ex_functions.get_proxy_for_url_ex(resolver, url.c_str(), &options, reinterpret_cast<DWORD_PTR>(&s));
    if (started != ERROR_IO_PENDING) {
        ::WinHttpCloseHandle(resolver);
        return started;
    }
    // Detection has its own time limits; the callback always comes.
    ::WaitForSingleObject(s.request_event, INFINITE);
    return s.request_error;
}

// Detection (no script) or the script at `script_url`. On the synchronous path a success
// hands back the answer's texts in `info`, which the caller then owns.
lookup_outcome get_proxy_for_url(resolver_state& s, const std::wstring& url, LPCWSTR script_url,
                                 WINHTTP_PROXY_INFO& info)
{
    info = {};
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (script_url) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = script_url;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = FALSE;

    if (s.ex_available) {
        if (!s.request_event) {
            s.request_event = ::CreateEventExW(nullptr, nullptr, 0, SYNCHRONIZE | EVENT_MODIFY_STATE);
            if (!s.request_event)
                return {false, ::GetLastError()};
        }
        DWORD error = request_async(s, url, options);
        if (error == ERROR_WINHTTP_LOGIN_FAILURE) {
            // A script server that wants the user's credentials gets them once.
            options.fAutoLogonIfChallenged = TRUE;
            error = request_async(s, url, options);
        }
        return {error == ERROR_SUCCESS, error};
    }

    for (;;) {
        if (::WinHttpGetProxyForUrl(s.session, url.c_str(), &options, &info))
            return {true, ERROR_SUCCESS};
        const DWORD error = ::GetLastError();
        free_text(info.lpszProxy);
        free_text(info.lpszProxyBypass);
        info = {};
        if (error == ERROR_WINHTTP_LOGIN_FAILURE && !options.fAutoLogonIfChallenged) {
            options.fAutoLogonIfChallenged = TRUE;
            continue;
        }
        return {false, error};
    }
}

std::string utf8_or_empty(LPCWSTR text) { return text ? win32::to_utf8(text) : std::string(); }

}  // namespace

struct system_proxy_resolver::state : resolver_state {};

system_proxy_resolver::system_proxy_resolver() : state_(std::make_unique<state>())
{
    state_->session = ::WinHttpOpen(L"ProxyResolver", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!state_->session)
        throw std::runtime_error("WinHttpOpen has failed!");
    std::call_once(ex_functions_once, look_up_ex_functions);
    state_->ex_available = ex_functions.all_found() && !synchronous_for_testing.load();
}

system_proxy_resolver::~system_proxy_resolver()
{
    free_text(state_->proxy);
    free_text(state_->bypass);
    state_->release_proxy_result();
    if (state_->request_event)
        ::CloseHandle(state_->request_event);
    ::WinHttpCloseHandle(state_->session);
}

std::uint32_t system_proxy_resolver::resolve(const std::string& probe_url)
{
    resolver_state& s = *state_;
    if (s.resolved)
        return ERROR_INVALID_OPERATION;
    const std::wstring url = win32::to_utf16(probe_url);

    ie_config config;
    if (!::WinHttpGetIEProxyConfigForCurrentUser(&config)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            return error;
        // No settings stored for this user at all: the system default is detection alone.
        free_text(config.lpszAutoConfigUrl);
        free_text(config.lpszProxy);
        free_text(config.lpszProxyBypass);
        config.fAutoDetect = TRUE;
    }

    WINHTTP_PROXY_INFO info{};
    lookup_outcome outcome;
    bool automatic = false;
    if (config.fAutoDetect) {
        outcome = get_proxy_for_url(s, url, nullptr, info);
        automatic = outcome.ok;
        if (!outcome.ok && !try_next_source(outcome.error))
            return outcome.error;
    }
    if (!automatic && config.lpszAutoConfigUrl && *config.lpszAutoConfigUrl) {
        outcome = get_proxy_for_url(s, url, config.lpszAutoConfigUrl, info);
        automatic = outcome.ok;
        if (!outcome.ok && !try_next_source(outcome.error))
            return outcome.error;
    }

    if (automatic) {
        // On the asynchronous path no text comes back: the entries are in proxy_result.
        s.proxy = info.lpszProxy;
        s.bypass = info.lpszProxyBypass;
        s.from_auto = true;
    } else {
        s.proxy = config.lpszProxy;
        s.bypass = config.lpszProxyBypass;
        config.lpszProxy = nullptr;
        config.lpszProxyBypass = nullptr;
        s.from_auto = false;
    }
    s.access_type = s.proxy && *s.proxy ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
    s.resolved = true;
    return ERROR_SUCCESS;
}

std::uint32_t system_proxy_resolver::access_type() const { return state_->access_type; }

std::string system_proxy_resolver::proxy_text() const { return utf8_or_empty(state_->proxy); }

std::string system_proxy_resolver::bypass_text() const { return utf8_or_empty(state_->bypass); }

bool system_proxy_resolver::from_auto() const { return state_->from_auto; }

std::vector<discovered_proxy> system_proxy_resolver::discovered() const
{
    std::vector<discovered_proxy> out;
    const WINHTTP_PROXY_RESULT& result = state_->proxy_result;
    if (!result.pEntries)
        return out;
    for (DWORD i = 0; i < result.cEntries; ++i) {
        const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
        if (!entry.fProxy || !entry.pwszProxy)
            continue;  // "DIRECT"
        out.push_back({static_cast<proxy_scheme>(entry.ProxyScheme), win32::to_utf8(entry.pwszProxy), entry.ProxyPort});
    }
    return out;
}

const std::vector<std::string>& system_proxy_resolver::warnings() const { return state_->warnings; }

void win32::use_synchronous_proxy_lookup_for_testing(bool on) { synchronous_for_testing.store(on); }

}  // namespace platform
