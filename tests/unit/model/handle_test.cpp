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
    EXPECT_STREQ(mail_last_error(&h), "");
    // Formatted texts have no length limit.
    const std::string name(6000, 'n');
    mail_set_error_printf(&h, "Could not open attachment (%s)", name.c_str());
    EXPECT_EQ(h.last_error, "Could not open attachment (" + name + ")");
}

}  // namespace
}  // namespace ostrel
