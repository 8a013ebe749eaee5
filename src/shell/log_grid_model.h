#pragma once

#include <QAbstractTableModel>

namespace zb::app {
class ActivityLog;
}  // namespace zb::app

namespace zb::shell {

// The Log page grid's view of the activity log: one row per row of the log
// (newest first, empty rows past the entries), five columns. Rows whose
// status is a failure or an interruption are red in every column.
class LogGridModel final : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit LogGridModel(const app::ActivityLog& log, QObject* parent = nullptr);

  // Call after every change of the log.
  void Refresh();

  [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
  [[nodiscard]] QVariant data(const QModelIndex& index, int role) const override;
  [[nodiscard]] QVariant headerData(int section, Qt::Orientation orientation,
                                    int role) const override;

 private:
  const app::ActivityLog& log_;
};

}  // namespace zb::shell
