#include "online/feedback.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

#include "online/endpoints.h"
#include "online/sysinfo.h"

namespace imbrix::online {
namespace {

constexpr std::string_view kEmailPattern =
    R"(^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]*[a-zA-Z0-9]+$)";

struct CodeDeleter {
    void operator()(pcre2_code* code) const { pcre2_code_free(code); }
};
struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

std::string ChoiceLine(std::string_view english, std::string_view caption) {
    std::string line(english);
    if (caption != english) {
        line += " (" + std::string(caption) + ")";
    }
    return line;
}

// The message box's lines joined by CR LF, whatever line breaks it holds.
std::string JoinLinesCrLf(std::string_view text) {
    std::string joined;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            joined += "\r\n";
        } else {
            joined.push_back(text[i]);
        }
    }
    return joined;
}

}  // namespace

bool IsValidEmail(std::string_view text) {
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    // $ only at the very end: a final line break is not part of an address.
    std::unique_ptr<pcre2_code, CodeDeleter> code(
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kEmailPattern.data()), kEmailPattern.size(),
                      PCRE2_DOLLAR_ENDONLY, &errorCode, &errorOffset, nullptr));
    if (!code) {
        return false;
    }
    std::unique_ptr<pcre2_match_data, MatchDataDeleter> match(
        pcre2_match_data_create_from_pattern(code.get(), nullptr));
    if (!match) {
        return false;
    }
    const int result = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(text.data()),
                                   text.size(), 0, PCRE2_NOTEMPTY, match.get(), nullptr);
    return result > 0;
}

FeedbackProblem CheckFeedback(const FeedbackInput& input) {
    if (TrimBlanks(input.message).empty()) {
        return FeedbackProblem::EmptyMessage;
    }
    const std::string email = TrimBlanks(input.email);
    if (!email.empty() && !IsValidEmail(email)) {
        return FeedbackProblem::InvalidEmail;
    }
    return FeedbackProblem::None;
}

std::string FeedbackText(const FeedbackInput& input) {
    std::string text;
    if (input.like) {
        text = ChoiceLine("I like it!", input.likeCaption) + "\r";
    }
    if (input.dislike) {
        text = ChoiceLine("I dislike it!", input.dislikeCaption) + "\r";
    }
    return text + TrimBlanks(JoinLinesCrLf(input.message));
}

FieldList FeedbackFields(const FeedbackInput& input, std::string_view appCaption,
                         std::string_view versionText) {
    FieldList fields = {"cmd=feedback", "appname=" + std::string(appCaption),
                        "version=" + std::string(versionText), "feedback=" + FeedbackText(input)};
    const std::string email = TrimBlanks(input.email);
    if (!email.empty()) {
        fields.push_back("email=" + email);
    }
    return fields;
}

bool FeedbackDelivered(std::string_view reply) {
    std::string joined;
    for (const std::string& line : SplitLines(reply)) {
        joined += line + "\r\n";
    }
    return TrimBlanks(joined) == "OK";
}

bool SendFeedback(const FeedbackInput& input, std::string_view appCaption,
                  std::string_view versionText, std::string_view serviceHost,
                  const RequestOptions& options) {
    try {
        const FallbackReply answer = PostWithFallback(
            FeedbackEndpoint(serviceHost), FeedbackFields(input, appCaption, versionText), options);
        return answer.reply && FeedbackDelivered(*answer.reply);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace imbrix::online
