#pragma once

// Shared helpers of the window tests: a private data folder per test and a
// few file helpers. Header-only; each test program includes it once.

#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <filesystem>
#include <string>

namespace zb::test {

inline std::string ReadText(const std::filesystem::path& p) {
  QFile f(QString::fromStdString(p.string()));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll().toStdString();
}

inline void WriteText(const std::filesystem::path& p, const std::string& text) {
  QFile f(QString::fromStdString(p.string()));
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(text.data(), text.size());
}

inline std::filesystem::path PathOf(const QTemporaryDir& d) { return d.path().toStdString(); }

}  // namespace zb::test
