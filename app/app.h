// The program-wide state of the Application: the two engine objects, the
// credentials of the last successful quick connect, the settings file and the
// controls of the one window. Every window module works on this one object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/certificate_question.h"
#include "app/main_window.h"
#include "app/remote_view.h"
#include "downlib/ftp_engine.h"

namespace app {

struct TaskQueueState;       // app/task_queue.h
struct TransferDriverState;  // app/transfer_driver.h

// How long the shut-down of a session waits for the server's answer to QUIT.
inline constexpr int kShutdownQuitWaitMs = 1000;

struct App {
    downlib::DezAziveduza ftpClient;
    downlib::Download downloadClient;

    // Written by a successful quick connect on the UI thread.
    std::string savedHost;
    std::string savedUser;
    std::string savedPassword;
    int savedPort = 21;
    // How the session is encrypted (the scheme of the host field, auto
    // without one): the transfers use the same.
    downlib::TlsMode savedTls = downlib::TlsMode::Auto;
    // Certificates the user trusted for this run, shared with the transfers.
    std::shared_ptr<TrustedThisRun> trustedThisRun = std::make_shared<TrustedThisRun>();

    // Full path of "配置文件.ini"; tests point it elsewhere.
    std::string settingsFile;

    // UI thread only. The action that talks to the server now (see
    // app/running_action.h), whether the window has closed, and the number
    // of the latest local listing (a newer one replaces an unfinished one).
    const char* runningAction = nullptr;
    bool windowClosed = false;
    std::uint64_t localListFill = 0;
    // The folder localList shows (the last one listed): the names of its
    // rows are below it, whatever the combo's text says meanwhile.
    std::string localListFolder;

    MainWindow ui;
    // What remoteList shows, as the engine listed it (UI thread).
    RemoteListing remoteListing;

    // Owned by the task queue and the transfer driver modules.
    std::shared_ptr<TaskQueueState> taskQueue;
    std::shared_ptr<TransferDriverState> transferDriver;
};

}  // namespace app
