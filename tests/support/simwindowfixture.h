#pragma once
// The real window on the real link, pointed at a virtual reader on loopback TCP or on a
// pseudo-terminal of its own.
#include "simserver.h"
#include "support/platform.h"
#include "support/windowfixture.h"

namespace relvix::testing {

enum class SimLink { Tcp, Pty };

inline std::string transportName(const ::testing::TestParamInfo<SimLink> &info)
{
    return info.param == SimLink::Tcp ? "Tcp" : "Pty";
}

class SimWindowTest : public WindowTest, public ::testing::WithParamInterface<SimLink> {
protected:
    void SetUp() override
    {
        sim = std::make_unique<sim::SimServer>();
        makeWindow();
        if (tcp()) {
            const quint16 port = sim->listenTcp(QStringLiteral("127.0.0.1"), 0);
            ASSERT_NE(port, 0);
            window->pcPort->setCurrentWidget(window->tsNet);
            window->edIP->setText(QStringLiteral("127.0.0.1"));
            window->edPort->setText(QString::number(port));
        } else {
            RELVIX_SKIP_WITHOUT_PTY();
            ptyPath = sim->openPty();
            ASSERT_FALSE(ptyPath.isEmpty());
            window->pcPort->setCurrentWidget(window->tsCom);
            window->cmbPort->setEditText(ptyPath);
            // Even parity, which a pseudo-terminal may refuse: the open must go on regardless.
            window->cmbBaudrate->setEditText(QStringLiteral("19200,e,8,1"));
        }
        tones->calls.clear();
    }

    void TearDown() override
    {
        window.reset();
        sim.reset();
    }

    bool tcp() const { return GetParam() == SimLink::Tcp; }
    QString status() const { return window->pnMsg->text(); }

    std::unique_ptr<sim::SimServer> sim;
    QString ptyPath;
};

} // namespace relvix::testing
