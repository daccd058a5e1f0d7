// The transfer driver's own session for the folder rows of uploads. The
// driver runs on a thread of its own and ftpClient belongs to the UI thread,
// so remote folders are created on a second client: logged in with a row's
// server and credentials when the first folder row needs it, kept for the
// rows that follow, and closed when the driver's run ends.
#pragma once

#include <functional>
#include <string>

#include "app/transfer_driver.h"
#include "downlib/ftp_engine.h"

namespace app {

struct QueueRow;

class RemoteFolderMaker {
public:
    // keepWaiting is asked while a command waits for the server; false
    // abandons the wait (the driver is stopping).
    explicit RemoteFolderMaker(std::function<bool()> keepWaiting);
    ~RemoteFolderMaker();
    RemoteFolderMaker(const RemoteFolderMaker&) = delete;
    RemoteFolderMaker& operator=(const RemoteFolderMaker&) = delete;

    // Creates the remote folder of an upload folder row; a folder that is
    // there already counts as made. False, with the reason, otherwise.
    bool Make(const QueueRow& row, std::string& reason);

private:
    bool Open(const QueueRow& row);
    void Close();

    downlib::DezAziveduza client_;
    std::string session_;  // server, port and account of the open session
    FailureReason log_;
};

}  // namespace app
