// The feedback window's work without the window: checking the input, building the
// request and judging the service's answer.
#pragma once

#include <string>
#include <string_view>

#include "online/request.h"

namespace imbrix::online {

/// True when all of `text` is an e-mail address by the program's rule:
/// ^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]*[a-zA-Z0-9]+$ (case-sensitive).
bool IsValidEmail(std::string_view text);

struct FeedbackInput {
    bool like = false;
    bool dislike = false;
    /// The choice panels' captions as shown (translated).
    std::string likeCaption = "I like it!";
    std::string dislikeCaption = "I dislike it!";
    /// The message as typed; line breaks in any form.
    std::string message;
    /// The e-mail box as typed.
    std::string email;
};

enum class FeedbackProblem { None, EmptyMessage, InvalidEmail };

/// What keeps the input from being sent: a message that is blank, or an e-mail
/// address that is given and not valid.
FeedbackProblem CheckFeedback(const FeedbackInput& input);

/// The text sent as "feedback=": the chosen line ("I like it!" or "I dislike it!",
/// with the translated caption in brackets when it differs) and a CR, then the
/// message with its lines joined by CR LF, trimmed.
std::string FeedbackText(const FeedbackInput& input);

/// The request fields in their order; "email=" only when an address is given.
FieldList FeedbackFields(const FeedbackInput& input, std::string_view appCaption,
                         std::string_view versionText);

/// Delivery succeeded only when the reply, apart from blank lines and blanks
/// around it, is exactly "OK".
bool FeedbackDelivered(std::string_view reply);

/// Sends the feedback to the service host (https first, then http) and tells
/// whether it arrived. Never throws.
bool SendFeedback(const FeedbackInput& input, std::string_view appCaption,
                  std::string_view versionText, std::string_view serviceHost,
                  const RequestOptions& options = {});

}  // namespace imbrix::online
