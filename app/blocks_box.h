// The arm window's tab for the blocks page: opens the page in the browser and shows its address.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "session/arm_session.h"
#include "web/page_server.h"

class QLabel;
class QLineEdit;

namespace quillmar {

class BlocksBox : public QWidget {
    Q_OBJECT
  public:
    // The page opens with what `program` gives; its sockets are connections of the local
    // interface that `server` gives, none when it is off.
    BlocksBox(ArmSession& session, std::function<QString()> program,
              std::function<ArmServer*()> server, QWidget* parent);
    ~BlocksBox() override;

    // Serves the page once, and opens it in the desktop's browser with the program now loaded.
    void open_page();
    QString address() const;
    // The named poses a go-to block may name.
    void set_poses(std::function<std::vector<NamedPose>()> poses);

  private:
    ArmSession& session;
    std::function<QString()> program;
    std::function<ArmServer*()> server;
    std::function<std::vector<NamedPose>()> poses;
    std::unique_ptr<PageServer> page;
    QLineEdit* address_line = nullptr;
    QLabel* note = nullptr;
};

}  // namespace quillmar
