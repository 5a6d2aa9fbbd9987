// The mail list's rows as Qt sees them: a read-only table over CMailListModel::Rows(), which
// keeps the order itself (so no proxy sorts on top). The texts are UTF-8.
#pragma once

#include <QAbstractTableModel>
#include <QPixmap>
#include <map>

namespace qm {

class CMailListModel;

class CMailTableModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit CMailTableModel(const CMailListModel& list, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // The rows were rebuilt or renumbered.
  void Reset();
  // Icons or texts changed in place.
  void RefreshAll();

 private:
  const QPixmap& Picture(int verdictImage, int stateImage) const;

  const CMailListModel& list;
  // Painted once per combination of the two icons.
  mutable std::map<int, QPixmap> pictures;
};

}  // namespace qm
