// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the window's thread.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillmar {

class SignalBridge : public QObject {
    Q_OBJECT
  public:
    // One bridge per process: it owns the signal handlers while it lives.
    explicit SignalBridge(QObject* parent = nullptr);
    ~SignalBridge() override;
    SignalBridge(const SignalBridge&) = delete;
    SignalBridge& operator=(const SignalBridge&) = delete;

  signals:
    void termination_requested();

  private:
    void drain();

    QSocketNotifier* notifier = nullptr;
};

}  // namespace quillmar
