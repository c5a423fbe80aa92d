// Runs one of the independent readers the tests check files with.
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

namespace report::testing {

// Standard output of `program` run with `arguments`; a failed run fails the test.
inline QString runTool(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.start(program, arguments);
  const bool finished = process.waitForFinished(60000);
  EXPECT_TRUE(finished) << program.toStdString();
  EXPECT_EQ(process.exitCode(), 0) << program.toStdString() << ": "
                                   << process.readAllStandardError().toStdString();
  return QString::fromUtf8(process.readAllStandardOutput());
}

}  // namespace report::testing
