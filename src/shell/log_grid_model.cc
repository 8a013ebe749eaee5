#include "shell/log_grid_model.h"

#include <QBrush>
#include <QColor>
#include <QFont>

#include "app/activity_log.h"

namespace zb::shell {
namespace {

constexpr const char* kHeadings[] = {"Date", "Operation", "Status", "Project", "Information"};

QString Field(const app::LogEntry& e, int column) {
  const std::string* fields[] = {&e.date, &e.operation, &e.status, &e.project, &e.information};
  return QString::fromStdString(*fields[column]);
}

}  // namespace

LogGridModel::LogGridModel(const app::ActivityLog& log, QObject* parent)
    : QAbstractTableModel(parent), log_(log) {}

void LogGridModel::Refresh() {
  beginResetModel();
  endResetModel();
}

int LogGridModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(log_.Rows().size());
}

int LogGridModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant LogGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const app::LogEntry& e = log_.Rows()[static_cast<size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return Field(e, index.column());
    case Qt::ForegroundRole:
      if (e.status == "Fails" || e.status == "Interrupt") return QBrush(QColor(Qt::red));
      return {};
    case Qt::FontRole: {
      QFont f(QStringLiteral("Arial"));
      f.setPointSize(9);
      return f;
    }
    default:
      return {};
  }
}

QVariant LogGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= 5) return {};
  if (role == Qt::DisplayRole) return QString::fromLatin1(kHeadings[section]);
  if (role == Qt::ForegroundRole) return QBrush(QColor(0, 0, 128));  // navy
  return {};
}

}  // namespace zb::shell
