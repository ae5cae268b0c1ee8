#include "message/out.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "message/compose_fixture.hpp"

using namespace ostrel;

namespace {

void append(void* ctx, const char* bytes, size_t len) {
    static_cast<std::string*>(ctx)->append(bytes, len);
}

// The stream cut into pieces at the given offsets, through one filter.
std::string stuffed(const std::string& in, const std::vector<size_t>& cuts) {
    std::string out;
    msg_out_cb sink = append;
    void* ctx = &out;
    msg_dotstuffer filter;
    msg_dotstuff_wrap(true, &filter, &sink, &ctx);
    size_t from = 0;
    for (size_t cut : cuts) {
        sink(ctx, in.data() + from, cut - from);
        from = cut;
    }
    sink(ctx, in.data() + from, in.size() - from);
    return out;
}

}  // namespace

TEST(DotStuff, DoublesTheDotThatBeginsALineWhereverTheStreamIsCut) {
    struct row {
        std::string in, want;
    };
    const row rows[] = {
        {"", ""},
        {".", ".."},
        {"a.b\r\n", "a.b\r\n"},
        {".x\r\n..y\r\n.\r\n", "..x\r\n...y\r\n..\r\n"},
        {"a\r\n.\r\nb", "a\r\n..\r\nb"},
        {"a\n.b\r.c", "a\n..b\r.c"},  // a bare LF ends a line, a bare CR does not
        {std::string("\0.\n.\0", 5), std::string("\0.\n..\0", 6)},
    };
    for (const row& r : rows) {
        EXPECT_EQ(stuffed(r.in, {}), r.want) << r.in;
        for (size_t i = 0; i <= r.in.size(); ++i) {
            for (size_t j = i; j <= r.in.size(); ++j)
                EXPECT_EQ(stuffed(r.in, {i, j}), r.want) << r.in << " cut at " << i << "," << j;
        }
    }
}

TEST(DotStuff, UnstuffingGivesTheStreamBack) {
    std::string in;
    for (int i = 0; i < 2000; ++i) in += (i % 7 == 0) ? ".\r\n" : (i % 5 == 0) ? ".." : "ab\r\n";
    const std::string out = stuffed(in, {1, 100, 101, 4000});
    EXPECT_EQ(compose_test::unstuffed(out), in);
    EXPECT_EQ(out.find("\n.\r"), std::string::npos);  // no lone "." line is left
}

TEST(DotStuff, OffLeavesTheSinkAlone) {
    std::string out;
    msg_out_cb sink = append;
    void* ctx = &out;
    msg_dotstuffer filter;
    msg_dotstuff_wrap(false, &filter, &sink, &ctx);
    EXPECT_EQ(sink, &append);
    EXPECT_EQ(ctx, &out);
}
