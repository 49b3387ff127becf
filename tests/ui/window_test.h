// What every test of the main window starts from: the widget application,
// English (US) number formatting for the labels, settings in a throw-away
// INI file, and every message the window shows recorded instead of shown.
// Header-only.
#pragma once

#include <QLocale>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "message_capture.h"
#include "settings/settings_store.h"
#include "widget_app.h"

namespace pwtest {

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureWidgetApp();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    ASSERT_TRUE(settingsDir_.isValid());
    store_.file = settingsDir_.filePath(QStringLiteral("settings.ini")).toStdString();
    store_.programDir = settingsDir_.path().toStdString() + "/";
  }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }

  QTemporaryDir settingsDir_;
  SettingsStore store_;
  MessageCapture messages_;
};

}  // namespace pwtest
