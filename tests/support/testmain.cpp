// Test entry: one QApplication for the whole run, offscreen unless told otherwise.
#include <QApplication>
#include <gtest/gtest.h>

// The offscreen platform cannot size a fixed window's frame and says so on every show.
static QtMessageHandler standardHandler = nullptr;

static void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("does not support propagateSizeHints")))
        return;
    standardHandler(type, context, message);
}

int main(int argc, char **argv)
{
    standardHandler = qInstallMessageHandler(filterMessages);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Relvix"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
