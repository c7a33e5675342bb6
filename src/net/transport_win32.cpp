// The transfer of one request with WinHTTP (Windows). See transport.h.
//
// WinHTTP runs in its asynchronous mode: the worker starts each step (send,
// headers, each read) and waits for its completion, for transport_abort's
// event and for the transfer's deadline at once. So an abort or the total
// time-out ends the transfer on time even where closing a handle does not
// cancel a call blocked in it (Wine). Only the worker calls WinHTTP for a
// transfer; WinHTTP's own threads only run on_status, which touches nothing
// but the transfer's Transfer record.
#include "net/transport.h"

#include <windows.h>

#include <winhttp.h>

#include <atomic>
#include <cwchar>
#include <utility>

#include "net/net.h"
#include "platform/wide_win32.h"

namespace {

HINTERNET SESSION = nullptr;    // the asynchronous session; null before transport_start and after transport_stop
HANDLE ABORT_EVENT = nullptr;   // manual-reset, set by transport_abort
std::atomic<bool> aborting{false};

// A transfer's state shared with WinHTTP's callback. Owned by the request
// handle: on_status deletes it on WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, the
// last notice WinHTTP sends for the handle, so a completion that arrives after
// the worker gave up (abort, time-out) still finds it.
struct Transfer {
    HANDLE step = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset: the step started last completed
    DWORD error = 0;        // the failed step's error code, 0 while none failed
    DWORD bytes = 0;        // bytes the last read delivered (0: the answer ended)
    char buffer[16384];     // the read's destination; must live until its completion
};

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
    auto* t = reinterpret_cast<Transfer*>(context);
    if (t == nullptr) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            SetEvent(t->step);
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            t->bytes = length;
            SetEvent(t->step);
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            t->error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
            if (t->error == 0) t->error = ERROR_WINHTTP_INTERNAL_ERROR;
            SetEvent(t->step);
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            CloseHandle(t->step);
            delete t;
            break;
        default:
            break;
    }
}

// libcurl's words for the same failures, so the "[curl] transfer failed: "
// lines read alike on both systems; the WinHTTP code follows.
std::string describe(DWORD error) {
    const char* text = "Transfer failed";
    switch (error) {
        case ERROR_WINHTTP_TIMEOUT: text = "Timeout was reached"; break;
        case ERROR_WINHTTP_CANNOT_CONNECT:
        case ERROR_WINHTTP_CONNECTION_ERROR: text = "Couldn't connect to server"; break;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED: text = "Couldn't resolve host name"; break;
        case ERROR_WINHTTP_OPERATION_CANCELLED: text = "Operation was aborted"; break;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID: text = "SSL peer certificate or SSH remote key was not OK"; break;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE: text = "Weird server reply"; break;
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME: text = "Unsupported protocol"; break;
        case ERROR_WINHTTP_INVALID_URL: text = "URL using bad/illegal format or missing URL"; break;
        default: break;
    }
    return std::string(text) + " (WinHTTP " + std::to_string(error) + ")";
}

enum Waited { STEP_DONE, ABORTED, TIMED_OUT };

// Wait for the step started last, the abort event, or deadline (GetTickCount64 ms).
Waited wait_step(Transfer* t, HANDLE abort, ULONGLONG deadline) {
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return TIMED_OUT;
    HANDLE events[2] = {t->step, abort};
    DWORD r = WaitForMultipleObjects(2, events, FALSE, (DWORD)(deadline - now));
    if (r == WAIT_OBJECT_0) return STEP_DONE;
    if (r == WAIT_OBJECT_0 + 1) return ABORTED;
    return TIMED_OUT;
}

// The Content-Length the server announced, or -1 when it sent none.
long long announced_length(HINTERNET request) {
    wchar_t text[32] = {};
    DWORD size = sizeof text;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return -1;
    return (long long)std::wcstoull(text, nullptr, 10);
}

// How one transfer is run: what it sends beside the request line, what ends
// it early, where its body goes and how much of it is taken.
struct Plan {
    std::wstring headers;  // extra request header lines, each ending in CRLF; empty for none
    HANDLE abort;          // an event that ends the transfer when set
    size_t (*sink)(char* data, size_t size, size_t count, void* body);  // returns count, or 0 to refuse
    size_t cap;            // an announced Content-Length beyond this is refused unread
    std::string* etag;     // receives the ETag header when not null
};

// The steps of one transfer on an open request. Returns "" on success, else
// why it failed.
std::string run(HINTERNET request, Transfer* t, const Plan& plan, ULONGLONG deadline, TransportResult* out) {
    auto failed = [&](Waited w) -> std::string {
        if (w == ABORTED) return describe(ERROR_WINHTTP_OPERATION_CANCELLED);
        if (w == TIMED_OUT) return describe(ERROR_WINHTTP_TIMEOUT);
        return describe(t->error);
    };
    const wchar_t* headers = plan.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : plan.headers.c_str();
    DWORD headers_length = plan.headers.empty() ? 0 : (DWORD)-1L;
    if (!WinHttpSendRequest(request, headers, headers_length, WINHTTP_NO_REQUEST_DATA, 0, 0, (DWORD_PTR)t))
        return describe(GetLastError());
    Waited w = wait_step(t, plan.abort, deadline);
    if (w != STEP_DONE || t->error) return failed(w);
    if (!WinHttpReceiveResponse(request, nullptr)) return describe(GetLastError());
    w = wait_step(t, plan.abort, deadline);
    if (w != STEP_DONE || t->error) return failed(w);

    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
        return describe(GetLastError());
    out->status = (long)status;
    if (plan.etag != nullptr) {
        wchar_t text[256] = {};
        DWORD text_size = sizeof text - sizeof text[0];
        if (WinHttpQueryHeaders(request, WINHTTP_QUERY_ETAG, WINHTTP_HEADER_NAME_BY_INDEX, text, &text_size,
                                WINHTTP_NO_HEADER_INDEX))
            for (const wchar_t* c = text; *c != 0; c++) plan.etag->push_back(*c < 128 ? char(*c) : '?');
    }
    // An announced size past the cap is refused before any of it is read (as
    // libcurl's CURLOPT_MAXFILESIZE); an unannounced one is counted while reading.
    if (announced_length(request) > (long long)plan.cap) return "Maximum file size exceeded";
    for (;;) {
        t->bytes = 0;
        if (!WinHttpReadData(request, t->buffer, sizeof t->buffer, nullptr)) return describe(GetLastError());
        w = wait_step(t, plan.abort, deadline);
        if (w != STEP_DONE || t->error) return failed(w);
        if (t->bytes == 0) return "";
        if (plan.sink(t->buffer, 1, t->bytes, &out->body) != t->bytes)
            return "Failure writing output to destination";
    }
}

}  // namespace

bool transport_start() {
    if (SESSION != nullptr) return true;
    ABORT_EVENT = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The system's proxy settings (automatic ones from Windows 8.1 on).
    SESSION = WinHttpOpen(L"vimo", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                          WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (SESSION == nullptr)
        SESSION = WinHttpOpen(L"vimo", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    return SESSION != nullptr && ABORT_EVENT != nullptr;
}

void transport_stop() {
    if (SESSION != nullptr) WinHttpCloseHandle(SESSION);
    SESSION = nullptr;
}

void transport_abort() {
    aborting = true;
    if (ABORT_EVENT != nullptr) SetEvent(ABORT_EVENT);
}

namespace {

// One transfer of method on url under plan; see transport_perform.
TransportResult perform_with(const std::string& url, const std::string& method, const Plan& plan, long connect_ms,
                             long total_ms) {
    TransportResult out;
    const ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(total_ms > 0 ? total_ms : 0);
    const std::wstring wide_url = platform_wide(url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwSchemeLength = parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(wide_url.c_str(), (DWORD)wide_url.size(), 0, &parts)) {
        DWORD error = GetLastError();
        out.error = describe(error == ERROR_WINHTTP_UNRECOGNIZED_SCHEME ? error : ERROR_WINHTTP_INVALID_URL);
        return out;
    }
    // Only web addresses: a configured origin must never make us read anything else.
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        out.error = describe(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
        return out;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    // The path and the query follow each other in the address.
    std::wstring target(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
    if (target.empty()) target = L"/";

    HINTERNET connection = WinHttpConnect(SESSION, host.c_str(), parts.nPort, 0);
    if (connection == nullptr) {
        out.error = describe(GetLastError());
        return out;
    }
    // The address was percent-encoded by its maker: sent as it is.
    DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                  (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    HINTERNET request = WinHttpOpenRequest(connection, platform_wide(method).c_str(), target.c_str(), nullptr,
                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (request == nullptr) {
        out.error = describe(GetLastError());
        WinHttpCloseHandle(connection);
        return out;
    }
    auto* t = new Transfer;
    DWORD_PTR context = (DWORD_PTR)t;
    bool owned_by_handle =
        t->step != nullptr && WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context) &&
        WinHttpSetStatusCallback(request, on_status,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) != WINHTTP_INVALID_STATUS_CALLBACK;
    if (!owned_by_handle) {
        out.error = describe(GetLastError());
        WinHttpCloseHandle(request);
        WinHttpCloseHandle(connection);
        if (t->step) CloseHandle(t->step);
        delete t;
        return out;
    }
    // A redirect is an answer of its own, never followed; no cookies kept
    // between requests (libcurl keeps none either). Certificates are checked:
    // no SECURITY_FLAG_IGNORE_* is ever set.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof disabled);
    // Each step is bounded by the system too; the deadline bounds them together.
    int step_ms = (int)(total_ms > 0 ? total_ms : 1);
    int connect = (int)(connect_ms > 0 && connect_ms < step_ms ? connect_ms : step_ms);
    WinHttpSetTimeouts(request, connect, connect, step_ms, step_ms);

    std::string error = run(request, t, plan, deadline, &out);
    // From here t belongs to WinHTTP: on_status frees it once the handle is closed.
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    out.completed = error.empty();
    if (!out.completed) {
        out.error = error;
        out.status = 0;
        out.body.clear();
    }
    return out;
}

}  // namespace

TransportResult transport_perform(const std::string& url, const std::string& method, long connect_ms, long total_ms) {
    if (aborting) {
        TransportResult out;
        out.error = describe(ERROR_WINHTTP_OPERATION_CANCELLED);
        return out;
    }
    Plan plan{L"", ABORT_EVENT, write_callback, FETCH_MAX_BODY_BYTES, nullptr};
    // Without a length, some servers (cpp-httplib among them) read a POST's body
    // until the connection closes; saying "no body" outright keeps them answering.
    if (method != "GET") plan.headers = L"Content-Length: 0\r\n";
    return perform_with(url, method, plan, connect_ms, total_ms);
}

// ---- The held request ----------------------------------------------------------------

struct TransportHold {
    HANDLE cancel = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual-reset: set once, for good
};

namespace {

size_t hold_body(char* data, size_t size, size_t count, void* out) {
    auto* body = static_cast<std::string*>(out);
    size_t n = size * count;
    if (body->size() + n > TRANSPORT_HOLD_MAX_BODY) return 0;  // refused: not a wake-up's answer
    body->append(data, n);
    return n;
}

}  // namespace

TransportHold* transport_hold_new() {
    auto* hold = new TransportHold;
    if (hold->cancel == nullptr) {
        delete hold;
        return nullptr;
    }
    return hold;
}

void transport_hold_free(TransportHold* hold) {
    if (hold == nullptr) return;
    CloseHandle(hold->cancel);
    delete hold;
}

void transport_hold_cancel(TransportHold* hold) { SetEvent(hold->cancel); }

TransportHeld transport_hold_get(TransportHold* hold, const std::string& url, const std::string& if_none_match,
                                 long connect_ms, long total_ms) {
    TransportHeld out;
    if (WaitForSingleObject(hold->cancel, 0) == WAIT_OBJECT_0 || SESSION == nullptr) {
        out.error = describe(ERROR_WINHTTP_OPERATION_CANCELLED);
        return out;
    }
    Plan plan{L"", hold->cancel, hold_body, TRANSPORT_HOLD_MAX_BODY, &out.etag};
    // An ETag is printable ASCII: it widens byte for byte.
    if (!if_none_match.empty()) plan.headers = L"If-None-Match: " + platform_wide(if_none_match) + L"\r\n";
    TransportResult r = perform_with(url, "GET", plan, connect_ms, total_ms);
    out.completed = r.completed;
    out.status = r.status;
    out.body = std::move(r.body);
    out.error = std::move(r.error);
    if (!out.completed) out.etag.clear();
    return out;
}
