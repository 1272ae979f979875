#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One running instance per user. The lock is a local server named "quorvi_single_instance";
// its socket lives in the user's runtime folder, so another user of the machine neither sees
// nor removes it. A later start only connects to it, which asks the running instance to come
// to the front; nothing is sent over the connection.
//
// Threads: the GUI thread only.
class SingleInstanceLock : public QObject {
    Q_OBJECT
public:
    static constexpr const char *kKey = "quorvi_single_instance";
    static constexpr int kProbeTimeoutMs = 400;

    explicit SingleInstanceLock(QObject *parent = nullptr);
    ~SingleInstanceLock() override;

    // The socket path: $XDG_RUNTIME_DIR/quorvi_single_instance, else the same name in a
    // private folder of the user's in the temporary folder ("quorvi-<uid>", mode 0700).
    static QString serverName();

    // Serialises the probe and the listen of starts that come at the same moment (a double
    // click), so that exactly one of them goes on. Hold it from before the probe until the
    // lock is taken; a start that waits more than 3 s goes ahead without it.
    class StartGuard {
    public:
        StartGuard();
        ~StartGuard();
        StartGuard(const StartGuard &) = delete;
        StartGuard &operator=(const StartGuard &) = delete;

    private:
        int fd_ = -1;
    };

    // True when another instance answers within `timeoutMs`.
    static bool anotherInstanceRunning(int timeoutMs = kProbeTimeoutMs);

    // Removes a stale socket left by a crashed instance and listens. On failure returns false
    // with the server's error text in `error`.
    bool take(QString *error);

signals:
    // Another start connected: bring the window to the front. Once per connection.
    void activationRequested();

private:
    void onNewConnection();

    QLocalServer *server_ = nullptr;
};
