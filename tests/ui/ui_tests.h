// The window test classes, each defined in its own file.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

namespace kestrum::uitest {

std::unique_ptr<QObject> makeMainWindowTest();
std::unique_ptr<QObject> makeShortcutTest();
std::unique_ptr<QObject> makeNoticeTest();
std::unique_ptr<QObject> makeEditorTest();
std::unique_ptr<QObject> makeDesktopBinaryTest();

inline std::vector<std::function<std::unique_ptr<QObject>()>> testObjects() {
    return {makeMainWindowTest, makeShortcutTest, makeNoticeTest, makeEditorTest, makeDesktopBinaryTest};
}

}  // namespace kestrum::uitest
