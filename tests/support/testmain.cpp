// Test entry: one QApplication for the whole run, offscreen unless told otherwise.
#include <QApplication>
#include <QStyleFactory>
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
#ifdef _WIN32
    // Offscreen there is no Windows theme, so Qt would pick Fusion, a style the program never
    // has on Windows. Under Wine, Fusion's painting of the raw-command page corrupted the heap
    // in most runs (Qt 6.4.2 built with MinGW; the same sequence is clean under ASan and
    // valgrind on Linux). The classic Windows style is what the program falls back to where
    // the system has no theme.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Windows")));
#endif
    QApplication::setApplicationName(QStringLiteral("Relvix"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
