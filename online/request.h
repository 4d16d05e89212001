// The service request client: HTML form posts to the maker's service.
//
// The scheme of the address picks the transport. "https://" (in any letter case):
// "Connection: close", the reply body is returned whatever the HTTP status is.
// Anything else: the plain transport, on which an HTTP error status (4xx, 5xx)
// raises. Both verify certificates where there are any, bound the connection and
// the response by their limits, and keep nothing between calls.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace imbrix::online {

/// Ordered form fields, each "name=value" (the name is everything before the first
/// "=").
using FieldList = std::vector<std::string>;

/// A request that failed: resolution, connection, TLS, a limit, an HTTP error
/// status on the plain transport, or a cancelled request.
class RequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RequestOptions {
    /// Time allowed to connect (including the TLS handshake).
    std::chrono::milliseconds connectTimeout{10000};
    /// Time allowed for the response once connected; an attempt as a whole never
    /// takes longer than both limits together.
    std::chrono::milliseconds responseTimeout{10000};
    /// A file of trusted certificates in PEM form; empty: the system's store.
    std::string caFile;
    /// When given and set, the request stops as soon as possible and raises.
    const std::atomic<bool>* cancel = nullptr;
    /// Replies are a few lines long; a longer one raises instead of filling memory.
    std::size_t maxReplyBytes = 1024 * 1024;
};

/// The form body: each field's name and value percent-encoded from their UTF-8
/// bytes (everything but A-Z a-z 0-9 - . _ ~), joined by "=", the fields by "&".
std::string EncodeForm(const FieldList& fields);

/// Posts `fields` to `address` and returns the reply body as UTF-8 text (converted
/// from the charset that the reply declares; UTF-8 when it declares none).
/// Throws RequestError with a message on any failure.
std::string PostRequest(std::string_view address, const FieldList& fields,
                        const RequestOptions& options = {});

/// The calling pattern of both services: "https://" + endpoint first, then
/// "http://" + endpoint. `reply` is empty when both failed; each failed attempt
/// leaves its message.
struct FallbackReply {
    std::optional<std::string> reply;
    std::optional<std::string> httpsError;
    std::optional<std::string> httpError;
};
FallbackReply PostWithFallback(std::string_view endpoint, const FieldList& fields,
                               const RequestOptions& options = {});

}  // namespace imbrix::online
