// A mail handle and a clean front-end state for each test, and helpers that
// run an option through the dispatcher and catch how it ends the program.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/dispatch.hpp"
#include "cli/state.hpp"
#include "mail/mail.hpp"

namespace ostrel::test {

struct cli_failure {
    int status = -1;  // -1: the option did not end the program
    std::string message;
};

class CliTest : public ::testing::Test {
  protected:
    mail_handle* h = nullptr;
    std::filesystem::path dir;

    void SetUp() override {
        cli = {};
        h = mail_create();
        ASSERT_NE(h, nullptr);
        cli.cb_ctx.handle = h;
        dir = std::filesystem::temp_directory_path() /
              ("cli_test_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (h) mail_destroy(h);
        h = nullptr;
        cli = {};
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // The dispatcher writes into its text: hand it a copy.
    int apply(const std::string& text) {
        std::string copy = text;
        return cli_apply_option(h, copy.data());
    }

    // Runs the option and reports the status and message it ended with.
    cli_failure run(const std::string& text) {
        cli_failure f;
        ::testing::internal::CaptureStderr();
        try {
            apply(text);
        } catch (const cli_exit& e) {
            f.status = e.status;
        }
        f.message = ::testing::internal::GetCapturedStderr();
        return f;
    }

    std::string write_file(const std::string& name, const std::string& data) {
        std::filesystem::path p = dir / name;
        std::ofstream(p, std::ios::binary) << data;
        return p.string();
    }
};

}  // namespace ostrel::test
