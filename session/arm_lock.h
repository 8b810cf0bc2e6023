// One Quillmar process per arm: a lock file per arm's place on the bus, held while it is attached.
#pragma once

#include <QString>
#include <optional>

namespace quillmar {

struct DeviceLocation;

// $XDG_RUNTIME_DIR, or /run/lock without one.
QString default_lock_folder();

class ArmLock {
  public:
    explicit ArmLock(QString folder);
    ~ArmLock();
    ArmLock(const ArmLock&) = delete;
    ArmLock& operator=(const ArmLock&) = delete;

    // Takes the lock of the arm at `where`, letting go of any other this one held; when another
    // process holds it, the text that says which ("Quillmar (process N) drives this arm").
    // A folder where no lock can be made does not keep the arm from being driven.
    std::optional<QString> take(DeviceLocation where);
    // Lets the arm go for another process.
    void drop();

  private:
    QString folder;
    int descriptor = -1;
};

}  // namespace quillmar
