// A whole Application with its real window, drawn off screen, for tests: a
// home folder and a settings file of its own, scripted dialogs, and a 1024 by
// 768 screen.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "support/temp_dir.h"
#include "support/toolkit/testing.h"
#include "toolkit/toolkit.h"

namespace apptest {

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        toolkit::EnsureApplication();
        toolkit::testing::ResetShutdown();
        toolkit::testing::ClearDialogScript();
        toolkit::testing::SetScriptedDialogsOnly(true);
        toolkit::testing::SetScreenSize(1024, 768);
        home = home_.Subdir("home");
        const char* old = std::getenv("HOME");
        oldHome_ = old != nullptr ? old : "";
        setenv("HOME", home.c_str(), 1);
        app = std::make_unique<app::App>();
        app->settingsFile = home_.file("配置文件.ini");
        // One row at a time unless a test asks for more: most window tests
        // follow a run row by row, as the program does with this setting.
        SetParallelRows("1");
        app::CreateMainWindow(*app);
    }

    void SetParallelRows(const std::string& count) {
        toolkit::WriteSetting(app->settingsFile, "配置项", "同时传输数", count);
    }

    void TearDown() override {
        app.reset();
        toolkit::ProcessPendingEvents();
        setenv("HOME", oldHome_.c_str(), 1);
        toolkit::testing::SetScreenSize(0, 0);
    }

    // A fresh Application on the same home folder and settings file, as a
    // second program start.
    void Restart() {
        app.reset();
        toolkit::ProcessPendingEvents();
        app = std::make_unique<app::App>();
        app->settingsFile = home_.file("配置文件.ini");
        app::CreateMainWindow(*app);
    }

    // Shows the window, which runs StartUp first.
    void Show() {
        app->ui.mainWindow.Show();
        toolkit::ProcessPendingEvents();
    }

    // Fills the quick-connect fields by typing, as the user does.
    void TypeQuickConnect(const std::string& host, const std::string& user, const std::string& password,
                          const std::string& port) {
        toolkit::testing::TypeOver(app->ui.hostEdit, host);
        toolkit::testing::TypeOver(app->ui.userEdit, user);
        toolkit::testing::TypeOver(app->ui.passwordEdit, password);
        toolkit::testing::TypeOver(app->ui.portEdit, port);
    }

    void ClickQuickConnect() { toolkit::testing::ClickControl(app->ui.quickConnectButton); }

    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        for (int i = 0; i < app->ui.logList.LineCount(); ++i) lines.push_back(app->ui.logList.LineText(i));
        return lines;
    }

    // The log lines without their clock text.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> messages;
        for (const auto& line : LogLines()) {
            const auto space = line.find(' ');
            messages.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return messages;
    }

    // Rows of a list: column texts joined with "|".
    static std::vector<std::string> Rows(toolkit::ListView& list, int columns) {
        std::vector<std::string> rows;
        for (int r = 0; r < list.RowCount(); ++r) {
            std::string row;
            for (int c = 0; c < columns; ++c) row += (c ? "|" : "") + list.CellText(r, c);
            rows.push_back(row);
        }
        return rows;
    }

    testsupport::TempDir home_{"qftp-app"};
    std::string home;
    std::unique_ptr<app::App> app;

private:
    std::string oldHome_;
};

}  // namespace apptest
