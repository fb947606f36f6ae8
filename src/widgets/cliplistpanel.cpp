#include "cliplistpanel.h"

#include "timeformat.h"

#include <QItemSelectionModel>
#include <QListWidget>
#include <QScopedValueRollback>
#include <algorithm>

ClipListPanel::ClipListPanel(QListWidget *list)
    : m_list(list)
{
    // Rows of differing heights would be measured one by one after every insertion.
    m_list->setUniformItemSizes(true);
}

bool ClipListPanel::samePart(const Clip &a, const Clip &b)
{
    return a.startTime == b.startTime && a.endTime == b.endTime && a.isMarked == b.isMarked;
}

bool ClipListPanel::sameRow(const Clip &a, const Clip &b)
{
    return samePart(a, b) && a.name == b.name;
}

void ClipListPanel::writeRow(QListWidgetItem *item, const Clip &clip)
{
    static const QFont markedFont(QStringLiteral("Arial"), 10, QFont::Bold);
    item->setText(QStringLiteral("%1 (%2 - %3)").arg(clip.name, formatTime(clip.startTime), formatTime(clip.endTime)));
    if (clip.isMarked) {
        item->setBackground(QColor(100, 150, 255, 100));
        item->setForeground(Qt::white);
        item->setFont(markedFont);
    } else {
        // As a new row: no background or font of its own.
        item->setData(Qt::BackgroundRole, QVariant());
        item->setData(Qt::FontRole, QVariant());
        item->setForeground(QColor(200, 200, 200));
    }
}

void ClipListPanel::showSelection(const ClipList &clips, int currentPart)
{
    QItemSelection selection;
    QAbstractItemModel *model = m_list->model();
    for (qsizetype i = 0; i < clips.size(); ++i) {
        if (!clips.at(i).isMarked)
            continue;
        const qsizetype first = i;
        while (i + 1 < clips.size() && clips.at(i + 1).isMarked)
            ++i;
        selection.select(model->index(int(first), 0), model->index(int(i), 0));
    }
    QItemSelectionModel *selectionModel = m_list->selectionModel();
    const QModelIndex current =
        currentPart >= 0 && currentPart < clips.size() ? model->index(currentPart, 0) : QModelIndex();
    const QScopedValueRollback<bool> showing(m_showing, true);
    if (selectionModel->currentIndex() != current)
        selectionModel->setCurrentIndex(current, QItemSelectionModel::NoUpdate);
    if (selectionModel->selection() != selection)
        selectionModel->select(selection, QItemSelectionModel::ClearAndSelect);
    if (current.isValid())
        m_list->scrollTo(current);
}

void ClipListPanel::show(const ClipList &clips, int currentPart)
{
    // Rows inserted or removed move the selection: no change made here is the user's.
    const QScopedValueRollback<bool> showing(m_showing, true);
    // Rows may have been added or removed behind our back; then start over.
    if (m_list->count() != m_shown.size()) {
        m_list->clear();
        m_shown.clear();
    }
    if (clips.isSharedWith(m_shown) && m_list->count() == clips.size()) {
        showSelection(clips, currentPart);
        return;
    }
    const qsizetype oldCount = m_shown.size();
    const qsizetype newCount = clips.size();
    // Rows are matched by the part they show; a part whose number changed only gets its text.
    qsizetype head = 0;
    while (head < oldCount && head < newCount && samePart(m_shown.at(head), clips.at(head)))
        ++head;
    qsizetype tail = 0;
    while (tail < oldCount - head && tail < newCount - head
           && samePart(m_shown.at(oldCount - 1 - tail), clips.at(newCount - 1 - tail)))
        ++tail;

    // Between the common head and tail: rows present in both are compared one by one, the
    // surplus removed or inserted as one block.
    const qsizetype oldMiddle = oldCount - head - tail;
    const qsizetype newMiddle = newCount - head - tail;
    const qsizetype common = qMin(oldMiddle, newMiddle);
    for (qsizetype i = head; i < head + common; ++i) {
        if (!sameRow(m_shown.at(i), clips.at(i)))
            writeRow(m_list->item(int(i)), clips.at(i));
    }
    if (oldMiddle > common)
        m_list->model()->removeRows(int(head + common), int(oldMiddle - common));
    if (newMiddle > common) {
        const int at = int(head + common);
        m_list->insertItems(at, QStringList(QList<QString>(newMiddle - common)));
        for (qsizetype i = at; i < head + newMiddle; ++i)
            writeRow(m_list->item(int(i)), clips.at(i));
    }
    // A cut renumbers every part after it: the rows take their new texts quietly and the view
    // hears of them once, not once a row (half the time of a cut among 10 000 parts).
    QAbstractItemModel *model = m_list->model();
    int firstRenamed = -1;
    int lastRenamed = -1;
    const auto rename = [&](qsizetype row, const QString &oldName) {
        if (firstRenamed < 0) {
            model->blockSignals(true);
            firstRenamed = int(row);
        }
        // Only the name changed: its times, already written, stay as they are.
        QListWidgetItem *item = m_list->item(int(row));
        item->setText(clips.at(row).name + item->text().mid(oldName.size()));
        firstRenamed = std::min(firstRenamed, int(row));
        lastRenamed = std::max(lastRenamed, int(row));
    };
    for (qsizetype i = 0; i < head; ++i) {
        if (m_shown.at(i).name != clips.at(i).name)
            rename(i, m_shown.at(i).name);
    }
    for (qsizetype i = 0; i < tail; ++i) {
        const qsizetype row = newCount - 1 - i;
        const QString &oldName = m_shown.at(oldCount - 1 - i).name;
        if (oldName != clips.at(row).name)
            rename(row, oldName);
    }
    if (firstRenamed >= 0) {
        model->blockSignals(false);
        emit model->dataChanged(model->index(firstRenamed, 0), model->index(lastRenamed, 0));
    }
    m_shown = clips;
    showSelection(clips, currentPart);
}
