#include "platform/message_box.h"

#include <iostream>

namespace ternival::platform {
namespace {
MessageBoxSink& sink() {
    static MessageBoxSink s;
    return s;
}
}  // namespace

int MessageBox(std::string_view text, std::string_view caption, unsigned flags) {
    MessageBoxRecord record{std::string(text), std::string(caption), flags};
    if (sink())
        sink()(record);
    else
        std::cerr << record.caption << ": " << record.text << std::endl;
    return 1;
}

MessageBoxSink SetMessageBoxSink(MessageBoxSink s) {
    MessageBoxSink previous = std::move(sink());
    sink() = std::move(s);
    return previous;
}

MessageBoxCapture::MessageBoxCapture()
    : previous_(SetMessageBoxSink([this](const MessageBoxRecord& r) { messages_.push_back(r); })) {}

MessageBoxCapture::~MessageBoxCapture() { SetMessageBoxSink(std::move(previous_)); }

}  // namespace ternival::platform
