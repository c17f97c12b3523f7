#include "app/MarrowtillanceApp.h"

#include "app/SingleInstance.h"
#include "views/MainWindow.h"

#include <QApplication>
#include <QStyleFactory>

int MarrowtillanceApp::main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marrowtillance"));
    QApplication::setApplicationVersion(QStringLiteral(MT_APP_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("marrowtillance"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    // A second program would drive the same keys as the first, its exchanges interleaved with the first's.
    SingleInstance instance(SingleInstance::runtimeFolder(), QStringLiteral("marrowtillance"));
    switch (instance.claim()) {
    case SingleInstance::Role::first: break;
    case SingleInstance::Role::forwarded: return 0;
    case SingleInstance::Role::unreachable: return 1;
    }
    MarrowtillanceApp application;
    return application.run(instance);
}

int MarrowtillanceApp::run(SingleInstance& instance)
{
    // The window starts USB watching once it is on screen, so keys already plugged in are listed in it.
    MainWindow window(dv);
    QObject::connect(&instance, &SingleInstance::raiseRequested, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    window.show();
    const int code = QApplication::exec();
    dv.shutdown();
    return code;
}
