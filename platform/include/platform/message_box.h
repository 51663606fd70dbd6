// Message boxes.  A server has no desktop: messages are written to stderr
// as "caption: text".  Tests (and front ends embedding the objects) may
// install a sink that receives them instead.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ternival::platform {

enum MessageBoxFlags : unsigned {
    kMbOk = 0x0,
    kMbTaskModal = 0x2000,
};

inline constexpr std::string_view kDefaultCaption = "Error";

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    unsigned flags = 0;
};

using MessageBoxSink = std::function<void(const MessageBoxRecord&)>;

// Shows the message; returns the button pressed (1 = OK).
int MessageBox(std::string_view text, std::string_view caption = kDefaultCaption,
               unsigned flags = kMbOk);

// Installs a sink for the process; returns the previous one (empty = stderr).
MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);

// Collects message boxes while alive and restores the previous sink after.
class MessageBoxCapture {
public:
    MessageBoxCapture();
    ~MessageBoxCapture();
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;
    const std::vector<MessageBoxRecord>& messages() const { return messages_; }

private:
    std::vector<MessageBoxRecord> messages_;
    MessageBoxSink previous_;
};

}  // namespace ternival::platform
