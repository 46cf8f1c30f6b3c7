// One executable for every window test class (Qt Test runs one object at a time).
#include <QApplication>
#include <QTest>
#include <cstdlib>

#include "ui_tests.h"

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    int failed = 0;
    for (const auto& make : kestrum::uitest::testObjects()) {
        std::unique_ptr<QObject> test = make();
        failed += QTest::qExec(test.get(), argc, argv);
    }
    return failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
