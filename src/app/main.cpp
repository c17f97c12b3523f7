// The application: one QApplication, one view model, one window.
#include "viewmodel/DeviceViewModel.h"
#include "views/MainWindow.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Marrowtillance"));
    QApplication::setApplicationVersion(QStringLiteral(MT_APP_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("marrowtillance"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));

    DeviceViewModel dv;
    MainWindow window(dv);
    window.show();
    const int code = QApplication::exec();
    dv.shutdown();
    return code;
}
