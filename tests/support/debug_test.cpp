// The diagnostics channel: report texts, where they go and in which order,
// truncation, and the fatal path (watched from outside, in test_child).
#include "Debug.h"
#include "test_child.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Points the channel at a callback and two files (output stream and extra
// stream) of a folder of its own, and puts the defaults back afterwards.
class Channel {
public:
    Channel()
    {
        mStream = _wfopen(mFolder.file(L"stream.txt").c_str(), L"wb");
        mExtra = _wfopen(mFolder.file(L"extra.txt").c_str(), L"wb");
        DebugConfig config;
        config.outputCallback = record;
        config.callbackContext = this;
        config.outputStream = mStream;
        Debug::setConfig(config);
    }
    ~Channel()
    {
        Debug::setConfig(DebugConfig{});
        for (std::FILE* file : {mStream, mExtra}) {
            if (file != nullptr)
                std::fclose(file);
        }
    }

    bool ready() const { return mStream != nullptr && mExtra != nullptr; }
    std::FILE* extra() const { return mExtra; }
    // Read through a second handle: what a report wrote must already be flushed.
    std::string stream() const { return testChild::readFile(mFolder.file(L"stream.txt")).value_or("?"); }
    std::string extraText() const { return testChild::readFile(mFolder.file(L"extra.txt")).value_or("?"); }

    struct Call {
        DebugMessageType type;
        std::string text;
        std::string streamSoFar;
        std::string extraSoFar;
    };
    std::vector<Call> calls;

private:
    static void record(void* context, DebugMessageType type, const char* text)
    {
        auto* self = static_cast<Channel*>(context);
        self->calls.push_back({type, text, self->stream(), self->extraText()});
    }

    testChild::TempDirectory mFolder;
    std::FILE* mStream = nullptr;
    std::FILE* mExtra = nullptr;
};

struct TextCase {
    DebugMessageType type;
    const char* sourceFile;
    const char* condition;
    const char* message; // nullptr: no format at all
    std::string expected;
};

TEST(DebugReport, FormatsEachKindOfReport)
{
    const TextCase cases[] = {
        {Debug::Info, "a/b.cpp", nullptr, "hello", "hello\n"},
        {Debug::Warning, "a/b.cpp", nullptr, "ends in newline\n", "ends in newline\n"},
        {Debug::Trace, "a/b.cpp", nullptr, nullptr, "\n"},
        {Debug::Verbose, "a/b.cpp", nullptr, "", "\n"},
        {Debug::Error, "dir/sub/name.cpp", nullptr, "bad %d items", "(name.cpp, line 7): bad %d items\n"},
        {Debug::Error, "name.cpp", nullptr, "bad\n", "(name.cpp, line 7): bad\n"},
        {Debug::Error, "C:\\src\\name.cpp", nullptr, "bad", "(C:\\src\\name.cpp, line 7): bad\n"},
        {Debug::Error, "C:\\src/x\\name.cpp", nullptr, "bad", "(x\\name.cpp, line 7): bad\n"},
        // A condition makes it an assertion report, whatever the type.
        {Debug::Info, "dir/name.cpp", "a == b", "why", "ASSERTION FAILED (name.cpp, line 7): a == b. why\n"},
        {Debug::Error, "Process", "nullptr != mProcess", nullptr,
         "ASSERTION FAILED (Process, line 7): nullptr != mProcess. \n"},
        // Unknown kinds are delivered with an empty text.
        {3, "a/b.cpp", nullptr, "lost", ""},
        {0, "a/b.cpp", nullptr, "lost", ""},
        {128, "a/b.cpp", nullptr, "lost", ""},
    };
    for (const TextCase& c : cases) {
        Channel channel;
        ASSERT_TRUE(channel.ready());
        const bool breakIn = c.message != nullptr
            ? Debug::report(c.type, c.sourceFile, 7, channel.extra(), c.condition, "%s", c.message)
            : Debug::report(c.type, c.sourceFile, 7, channel.extra(), c.condition, nullptr);
        EXPECT_FALSE(breakIn);
        ASSERT_EQ(1u, channel.calls.size()) << c.expected;
        EXPECT_EQ(c.type, channel.calls[0].type);
        EXPECT_EQ(c.expected, channel.calls[0].text);
        // The callback comes first, the two streams after it.
        EXPECT_EQ("", channel.calls[0].streamSoFar + channel.calls[0].extraSoFar);
        EXPECT_EQ(c.expected, channel.stream());
        EXPECT_EQ(c.expected, channel.extraText());
    }
}

TEST(DebugReport, CutsLongTextsAndChoosesTheTerminatorFromTheCutText)
{
    Channel channel;
    ASSERT_TRUE(channel.ready());
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%d items of %s", 12, "work");
    EXPECT_EQ("12 items of work\n", channel.calls.back().text);

    const std::string longMessage(9000, 'a');
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", longMessage.c_str());
    EXPECT_EQ(std::string(8191, 'a') + "\n", channel.calls.back().text);

    // The newline at the cut stays the last character: no second one.
    const std::string newlineAtCut = std::string(8190, 'b') + "\nzz";
    Debug::report(Debug::Info, "x.cpp", 1, nullptr, nullptr, "%s", newlineAtCut.c_str());
    EXPECT_EQ(std::string(8190, 'b') + "\n", channel.calls.back().text);

    // The whole report is bounded as well: 10239 characters.
    const std::string condition(5000, 'c');
    const std::string message(8191, 'm');
    Debug::report(Debug::Error, "x.cpp", 1, nullptr, condition.c_str(), "%s", message.c_str());
    const std::string full = "ASSERTION FAILED (x.cpp, line 1): " + condition + ". " + message + "\n";
    EXPECT_EQ(full.substr(0, 10239), channel.calls.back().text);
    EXPECT_EQ("", channel.extraText()) << "without an extra stream only the channel's own outputs get a report";
}

// What test_child's channel file shows: the report through the callback
// (prefixed with its type) and then the stream, the abort notice likewise.
std::string channelText(int type, const std::string& report, bool aborts)
{
    const std::string prefix = "callback " + std::to_string(type) + ": ";
    const std::string notice = "Debug: Aborting due to error\n";
    return prefix + report + report + (aborts ? prefix + notice + notice : "");
}

TEST(DebugReport, FatalReportsAbortAfterTheNotice)
{
    const std::string report = "(raise.cpp, line 42): boom 7\n";
    const struct {
        const char* kind;
        DWORD exitCode; // abort() ends with 3
        std::string channel;
    } cases[] = {
        {"fatal", 3, channelText(64, report, true)},
        {"error-abort", 3, channelText(32, report, true)},
        {"error", 0, channelText(32, report, false)},
    };
    for (const auto& c : cases) {
        testChild::TempDirectory directory;
        const testChild::Result result = testChild::run(
            {"debug-report", c.kind, directory.fileUtf8(L"channel.txt"), directory.fileUtf8(L"extra.txt")});
        ASSERT_TRUE(result.started && result.finished) << c.kind;
        EXPECT_EQ(c.exitCode, result.exitCode) << c.kind;
        EXPECT_EQ(c.channel, testChild::readFile(directory.file(L"channel.txt")).value_or("")) << c.kind;
        EXPECT_EQ(report, testChild::readFile(directory.file(L"extra.txt")).value_or("")) << c.kind;
    }

    // A failed assertion takes the fatal road; the child names its line first.
    testChild::TempDirectory directory;
    const testChild::Result result = testChild::run({"debug-assert", directory.fileUtf8(L"channel.txt")});
    ASSERT_TRUE(result.started && result.finished);
    EXPECT_EQ(3u, result.exitCode);
    const std::string text = testChild::readFile(directory.file(L"channel.txt")).value_or("");
    ASSERT_EQ(0u, text.rfind("line ", 0)) << text;
    const std::string line = text.substr(5, text.find('\n') - 5);
    const std::string assertion = "ASSERTION FAILED (debug_verbs.cpp, line " + line + "): nullptr != held. \n";
    EXPECT_EQ("line " + line + "\n" + channelText(64, assertion, true), text);
}

TEST(SystemErrorText, NamesTheErrorNumberInHexadecimal)
{
    errno = ENOENT;
    const std::string expected = std::string("(Error code 0x2) ") + std::strerror(ENOENT);
    EXPECT_EQ(expected, systemErrorText());
    errno = 42;
    EXPECT_EQ(0u, systemErrorText().rfind("(Error code 0x2a) ", 0));
}

} // namespace
