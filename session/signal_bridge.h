// Turns SIGINT, SIGTERM, SIGHUP and SIGQUIT into a Qt signal on the main thread.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace quillmar {

class SignalBridge : public QObject {
    Q_OBJECT
  public:
    // One bridge at a time: it owns the signal handlers while it lives. After it, they drop what
    // comes until the process ends (or execs).
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
