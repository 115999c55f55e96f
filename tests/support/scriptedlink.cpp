#include "scriptedlink.h"
#include "referencecrc.h"

namespace relvix::testing {

class ScriptedSerial : public SerialIo {
public:
    explicit ScriptedSerial(ScriptedLinkOpener &o) : o_(o) {}
    void purge() override { pending_.clear(); }
    void write(const std::uint8_t *bytes, int count) override
    {
        o_.sent.append(QByteArray(reinterpret_cast<const char *>(bytes), count));
        pending_ = o_.takeReply();
    }
    Read readByte(std::uint8_t &byte) override
    {
        if (pending_.isEmpty()) {
            o_.clock_.now += 1;
            return Read::Nothing;
        }
        byte = std::uint8_t(pending_.front());
        pending_.remove(0, 1);
        return Read::Byte;
    }
    qint32 baudRate() const override { return 19200; }

private:
    ScriptedLinkOpener &o_;
    QByteArray pending_;
};

class ScriptedNet : public NetIo {
public:
    explicit ScriptedNet(ScriptedLinkOpener &o) : o_(o) {}
    bool waitReadable(int timeoutMs) override
    {
        if (!pending_.isEmpty())
            return true;
        o_.clock_.now += std::uint32_t(timeoutMs > 0 ? timeoutMs : 0);
        return false;
    }
    int receive(std::uint8_t *bytes, int maxCount) override
    {
        const int n = std::min<int>(maxCount, int(pending_.size()));
        std::copy(pending_.begin(), pending_.begin() + n, bytes);
        pending_.remove(0, n);
        return n;
    }
    Send send(const std::uint8_t *bytes, int count, int) override
    {
        o_.sent.append(QByteArray(reinterpret_cast<const char *>(bytes), count));
        pending_ = o_.takeReply();
        return Send::Done;
    }

private:
    ScriptedLinkOpener &o_;
    QByteArray pending_;
};

QByteArray ScriptedLinkOpener::takeReply()
{
    if (replies.empty())
        return {};
    QByteArray r = replies.front();
    replies.pop_front();
    return r;
}

std::unique_ptr<SerialIo> ScriptedLinkOpener::openSerial(const QString &, const QString &)
{
    if (failOpen)
        return nullptr;
    ++opens;
    return std::make_unique<ScriptedSerial>(*this);
}

std::unique_ptr<NetIo> ScriptedLinkOpener::openNetwork(const QString &, const QString &)
{
    if (failOpen)
        return nullptr;
    ++opens;
    return std::make_unique<ScriptedNet>(*this);
}

QByteArray bytesFromHex(const char *hex)
{
    return QByteArray::fromHex(QByteArray(hex).replace(' ', ""));
}

QByteArray frameWithCrc(const char *hex)
{
    return withReferenceCrc(bytesFromHex(hex));
}

} // namespace relvix::testing
