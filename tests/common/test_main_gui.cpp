#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    // Widget tests never need a real display; a developer may still pick one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
