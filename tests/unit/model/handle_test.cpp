#include "model/handle.hpp"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(MailSetErrorText, Replaces) {
    mail_handle h;
    h.last_error = "old";
    mail_set_error_text(&h, std::string("new"));
    EXPECT_EQ(h.last_error, "new");
    mail_set_error_text(&h, std::nullopt);
    EXPECT_FALSE(h.last_error.has_value());
}

}  // namespace
}  // namespace ostrel
