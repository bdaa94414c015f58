#include "verbolin/ui/SingleInstance.hpp"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

namespace verbolin {
namespace {
constexpr char kShow[] = "show\n";
constexpr int kWaitMs = 1000;

enum class Found { nothing, leftBehind, live };

// What has the socket name: nothing; a socket that refuses connections,
// which nothing listens on any more (left by a crashed run); or anything
// else, a live instance's socket at best, which is left alone.
Found look(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (socket.state() != QLocalSocket::UnconnectedState) return Found::live;
    switch (socket.error()) {
        case QLocalSocket::ServerNotFoundError:
            return Found::nothing;
        case QLocalSocket::ConnectionRefusedError:
            return Found::leftBehind;
        default:
            return Found::live;
    }
}
}  // namespace

QString SingleInstance::serverName(const std::filesystem::path& dataFolder) {
    const QByteArray folder = QByteArray::fromStdString(dataFolder.lexically_normal().string());
    const QByteArray hash = QCryptographicHash::hash(folder, QCryptographicHash::Sha256).toHex();
    return QStringLiteral("verbolin-%1-%2").arg(::getuid()).arg(QString::fromLatin1(hash.left(16)));
}

bool SingleInstance::askRunningToShow(const QString& name) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kWaitMs)) return false;
    socket.write(kShow);
    if (!socket.waitForBytesWritten(kWaitMs)) return false;
    // The answer tells that the request was read, not only sent.
    return socket.waitForReadyRead(kWaitMs) && socket.readAll().startsWith("ok");
}

SingleInstance::SingleInstance(const QString& name, std::function<void()> onShowRequest)
    : server_(std::make_unique<QLocalServer>()), onShowRequest_(std::move(onShowRequest)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // With access options Qt renames its socket over whatever has the name,
    // so what is there is looked at first. A starting instance binds before
    // it listens, and would look left behind for that moment: the caller
    // holds the instance lock, so that none is starting.
    const Found there = look(name);
    if (there == Found::leftBehind) QLocalServer::removeServer(name);
    if (there != Found::live) server_->listen(name);
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) return;
                const QByteArray line = socket->readLine();
                if (line == kShow && onShowRequest_) onShowRequest_();
                socket->write("ok\n");
                socket->flush();
            });
        }
    });
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::listening() const { return server_->isListening(); }

}  // namespace verbolin
