#include "ui/mail_table_model.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QString>

#include "ui/artwork.h"
#include "ui/model/mail_list.h"

namespace qm {

namespace {

bool Unread(int stateImage) { return stateImage >= 2; }
bool Hidden(int stateImage) { return stateImage == 1 || stateImage == 3; }

}  // namespace

CMailTableModel::CMailTableModel(const CMailListModel& mailList, QObject* parent)
    : QAbstractTableModel(parent), list(mailList) {}

int CMailTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : list.RowCount();
}

int CMailTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kMailColumnCount;
}

QVariant CMailTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= list.RowCount() || index.column() >= kMailColumnCount) {
    return QVariant();
  }
  const MailListRow& row = list.Rows()[static_cast<std::size_t>(index.row())];
  const int column = index.column();
  switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
      if (role == Qt::ToolTipRole && column != ColumnSubject) return QVariant();
      return QString::fromStdString(row.texts[static_cast<std::size_t>(column)]);
    case Qt::DecorationRole:
      if (column != ColumnNumber) return QVariant();
      return Picture(row.verdictImage, row.stateImage);
    case Qt::TextAlignmentRole: {
      const Qt::Alignment side = kMailColumns[static_cast<std::size_t>(column)].rightAligned
                                     ? Qt::AlignRight
                                     : Qt::AlignLeft;
      return QVariant::fromValue(side | Qt::AlignVCenter);
    }
    case Qt::FontRole: {
      if (!Unread(row.stateImage) && !Hidden(row.stateImage)) return QVariant();
      QFont font;
      font.setBold(Unread(row.stateImage));
      font.setItalic(Hidden(row.stateImage));
      return font;
    }
    case Qt::ForegroundRole:
      if (!Hidden(row.stateImage)) return QVariant();
      return QBrush(QColor(0x80, 0x80, 0x80));
    default:
      return QVariant();
  }
}

QVariant CMailTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kMailColumnCount) {
    return QVariant();
  }
  const MailColumnInfo& info = kMailColumns[static_cast<std::size_t>(section)];
  if (role == Qt::DisplayRole) return QString::fromUtf8(info.heading);
  if (role == Qt::TextAlignmentRole) {
    return QVariant::fromValue((info.rightAligned ? Qt::AlignRight : Qt::AlignLeft) |
                               Qt::AlignVCenter);
  }
  return QVariant();
}

void CMailTableModel::Reset() {
  beginResetModel();
  endResetModel();
}

void CMailTableModel::RefreshAll() {
  if (list.RowCount() == 0) return;
  emit dataChanged(index(0, 0), index(list.RowCount() - 1, kMailColumnCount - 1));
}

const QPixmap& CMailTableModel::Picture(int verdictImage, int stateImage) const {
  const int key = verdictImage * 8 + stateImage;
  auto found = pictures.find(key);
  if (found == pictures.end()) {
    found = pictures.emplace(key, RowPicture(verdictImage, stateImage)).first;
  }
  return found->second;
}

}  // namespace qm
