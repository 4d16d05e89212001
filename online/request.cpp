#include "online/request.h"

#include <curl/curl.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>

namespace imbrix::online {
namespace {

// libcurl wants one global initialisation before the first handle; after that the
// library keeps no state that requests share.
void InitialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            throw RequestError("Cannot initialise the network library");
        }
    });
}

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

bool IsUnreserved(unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

void AppendPercentEncoded(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
}

struct Transfer {
    std::string body;
    std::size_t limit = 0;
    bool tooLarge = false;
};

// How long the transfer waits for its sockets before it looks at the cancel flag
// again.
constexpr int kCancelCheckMs = 50;

size_t WriteBody(char* data, size_t size, size_t count, void* userdata) {
    auto* transfer = static_cast<Transfer*>(userdata);
    const size_t bytes = size * count;
    if (transfer->body.size() + bytes > transfer->limit) {
        transfer->tooLarge = true;
        return 0;  // makes libcurl stop with a write error
    }
    transfer->body.append(data, bytes);
    return bytes;
}

std::string Lower(std::string_view text) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// The "charset" parameter of a Content-Type value, lower-cased; empty when none.
std::string CharsetOf(const char* contentType) {
    if (contentType == nullptr) {
        return {};
    }
    const std::string value = Lower(contentType);
    const auto at = value.find("charset=");
    if (at == std::string::npos) {
        return {};
    }
    std::string charset = value.substr(at + 8);
    charset = charset.substr(0, charset.find_first_of("; \t"));
    charset.erase(std::remove(charset.begin(), charset.end(), '"'), charset.end());
    return charset;
}

// The reply as UTF-8. A charset that the converter does not know leaves the bytes
// as they are: replies are plain ASCII in practice.
std::string ToUtf8(std::string body, const std::string& charset) {
    if (charset.empty() || charset == "utf-8" || charset == "utf8" || charset == "us-ascii" ||
        body.empty()) {
        return body;
    }
    UErrorCode status = U_ZERO_ERROR;
    const int32_t needed = ucnv_convert("UTF-8", charset.c_str(), nullptr, 0, body.data(),
                                        static_cast<int32_t>(body.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        return body;
    }
    std::string converted(static_cast<size_t>(needed), '\0');
    status = U_ZERO_ERROR;
    ucnv_convert("UTF-8", charset.c_str(), converted.data(), needed, body.data(),
                 static_cast<int32_t>(body.size()), &status);
    if (U_FAILURE(status) && status != U_STRING_NOT_TERMINATED_WARNING) {
        return body;
    }
    return converted;
}

// Runs the transfer of `curl` and returns its result. The cancel flag is looked at
// before anything is sent and between short waits for the sockets, so a cancelled
// request ends at once in any state: resolving, connecting, in the TLS handshake
// or waiting for the reply. A request cancelled before it starts connects nowhere.
CURLcode Perform(CURL* curl, const std::atomic<bool>* cancel) {
    auto cancelled = [cancel] {
        return cancel != nullptr && cancel->load(std::memory_order_relaxed);
    };
    if (cancelled()) {
        return CURLE_ABORTED_BY_CALLBACK;
    }
    struct Multi {
        CURLM* multi = curl_multi_init();
        CURL* easy = nullptr;
        ~Multi() {
            if (easy != nullptr) {
                curl_multi_remove_handle(multi, easy);
            }
            curl_multi_cleanup(multi);
        }
    } transfer;
    if (transfer.multi == nullptr || curl_multi_add_handle(transfer.multi, curl) != CURLM_OK) {
        throw RequestError("Cannot create a network request");
    }
    transfer.easy = curl;
    int running = 1;
    while (running > 0) {
        CURLMcode code = curl_multi_perform(transfer.multi, &running);
        if (code == CURLM_OK && running > 0) {
            if (cancelled()) {
                return CURLE_ABORTED_BY_CALLBACK;
            }
            code = curl_multi_poll(transfer.multi, nullptr, 0, kCancelCheckMs, nullptr);
        }
        if (code != CURLM_OK) {
            throw RequestError(std::string("The request failed: ") + curl_multi_strerror(code));
        }
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(transfer.multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == curl) {
            return message->data.result;
        }
    }
    throw RequestError("The request ended without a result");
}

void SetOption(CURL* curl, CURLoption option, auto value) {
    const CURLcode code = curl_easy_setopt(curl, option, value);
    if (code != CURLE_OK) {
        throw RequestError(std::string("Cannot set up the request: ") + curl_easy_strerror(code));
    }
}

}  // namespace

std::string EncodeForm(const FieldList& fields) {
    std::string body;
    for (const std::string& field : fields) {
        if (!body.empty()) {
            body.push_back('&');
        }
        const auto equals = field.find('=');
        const std::string_view text(field);
        AppendPercentEncoded(body, text.substr(0, equals));
        body.push_back('=');
        if (equals != std::string::npos) {
            AppendPercentEncoded(body, text.substr(equals + 1));
        }
    }
    return body;
}

std::string PostRequest(std::string_view address, const FieldList& fields,
                        const RequestOptions& options) {
    InitialiseCurlOnce();
    const bool secure = Lower(address.substr(0, 8)) == "https://";

    CurlHandle handle(curl_easy_init());
    if (!handle) {
        throw RequestError("Cannot create a network request");
    }
    CURL* curl = handle.get();
    const std::string url(address);
    const std::string body = EncodeForm(fields);
    char errorText[CURL_ERROR_SIZE] = {};
    Transfer transfer;
    transfer.limit = options.maxReplyBytes;

    HeaderList headers;
    auto addHeader = [&headers](const char* header) {
        curl_slist* extended = curl_slist_append(headers.get(), header);
        if (extended == nullptr) {
            throw RequestError("Out of memory while building a request");
        }
        headers.release();
        headers.reset(extended);
    };
    if (secure) {
        addHeader("Connection: close");
        addHeader("Content-Type: application/x-www-form-urlencoded; charset=utf-8");
    } else {
        addHeader("Content-Type: application/x-www-form-urlencoded");
    }
    addHeader("Expect:");  // no "100 Continue" round trip for longer feedback texts

    SetOption(curl, CURLOPT_URL, url.c_str());
    // The scheme chose the transport; nothing else may be spoken, and nothing redirects.
    SetOption(curl, CURLOPT_PROTOCOLS_STR, secure ? "https" : "http");
    SetOption(curl, CURLOPT_FOLLOWLOCATION, 0L);
    // HTTP/1.1 on both transports: "Connection: close" means something there.
    SetOption(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    SetOption(curl, CURLOPT_NOSIGNAL, 1L);
    SetOption(curl, CURLOPT_ERRORBUFFER, errorText);
    SetOption(curl, CURLOPT_POST, 1L);
    SetOption(curl, CURLOPT_POSTFIELDS, body.c_str());
    SetOption(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    SetOption(curl, CURLOPT_HTTPHEADER, headers.get());
    SetOption(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    SetOption(curl, CURLOPT_TIMEOUT_MS,
              static_cast<long>((options.connectTimeout + options.responseTimeout).count()));
    SetOption(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    SetOption(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.caFile.empty()) {
        SetOption(curl, CURLOPT_CAINFO, options.caFile.c_str());
    }
    SetOption(curl, CURLOPT_WRITEFUNCTION, &WriteBody);
    SetOption(curl, CURLOPT_WRITEDATA, &transfer);

    const CURLcode code = Perform(curl, options.cancel);
    if (code != CURLE_OK) {
        if (transfer.tooLarge) {
            throw RequestError("The reply from " + url + " is too large");
        }
        if (code == CURLE_ABORTED_BY_CALLBACK) {
            throw RequestError("The request to " + url + " was cancelled");
        }
        const std::string detail = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        throw RequestError("Request to " + url + " failed: " + detail);
    }

    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    if (!secure && status >= 400) {
        throw RequestError("HTTP/1.1 " + std::to_string(status) + " from " + url);
    }
    const char* contentType = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &contentType);
    return ToUtf8(std::move(transfer.body), CharsetOf(contentType));
}

FallbackReply PostWithFallback(std::string_view endpoint, const FieldList& fields,
                               const RequestOptions& options) {
    FallbackReply result;
    try {
        result.reply = PostRequest("https://" + std::string(endpoint), fields, options);
        return result;
    } catch (const RequestError& error) {
        result.httpsError = error.what();
    }
    try {
        result.reply = PostRequest("http://" + std::string(endpoint), fields, options);
    } catch (const RequestError& error) {
        result.httpError = error.what();
    }
    return result;
}

}  // namespace imbrix::online
