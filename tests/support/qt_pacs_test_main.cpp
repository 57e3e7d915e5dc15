#include <gtest/gtest.h>

#include <QApplication>
#include <cstdio>
#include <string>

#include "orthanc.h"

// The PACS tests start real servers: they run in a network namespace of
// their own with only loopback, where the machine allows it, before any
// thread (Qt's included) exists.
int main(int argc, char** argv) {
  std::string note;
  if (!testsupport::EnterLoopbackOnlyNetwork(&note))
    std::fprintf(stderr, "pacs tests: %s; using the plain loopback\n", note.c_str());
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
