// Turns SIGINT, SIGTERM, SIGHUP and SIGQUIT into a Qt signal on the main thread.
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
    // The number of the signal that came; of the last, when several came at once.
    void termination_requested(int signal_number);

  private:
    void drain();

    QSocketNotifier* notifier = nullptr;
};

}  // namespace quillmar
