#pragma once

#include "backup/EngineInterface.h"

#include <QAbstractItemModel>
#include <QSortFilterProxyModel>

#include <vector>

// The files and folders of one run as a tree with tick boxes, built in one pass over the
// run's sorted list (100,000 files take a fraction of a second). Ticking a folder ticks
// everything below it; a folder with some of its contents ticked shows partly ticked.
class FileTreeModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Column { Name, Size, Modified, ColumnCount };
    // The path relative to the set's base, for any index.
    static constexpr int PathRole = Qt::UserRole + 1;

    explicit FileTreeModel(QObject* parent = nullptr);

    void setEntries(const QList<RestoreEntry>& entries);
    void clear();

    // The ticked paths, a folder standing for everything below it; empty when nothing is
    // ticked (which restores everything).
    QStringList tickedPaths() const;
    qsizetype fileCount() const { return m_files; }
    // The index of a path, for tests and for showing a found file.
    QModelIndex indexOfPath(const QString& path) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

signals:
    void tickedChanged();

private:
    struct Node
    {
        QString name;
        QString path;
        int parent = -1;  // -1: a top-level item
        int row = 0;      // among its parent's children
        std::vector<int> children;
        RestoreEntry::Kind kind = RestoreEntry::Kind::Folder;
        quint64 size = 0;
        QDateTime modified;
        QString linkTarget;
        Qt::CheckState check = Qt::Unchecked;
    };

    int nodeOf(const QModelIndex& index) const;
    const std::vector<int>& childrenOf(int node) const;
    QModelIndex indexOf(int node, int column = 0) const;
    int folderNode(const QString& path);
    void tickBelow(int node, Qt::CheckState state);
    void updateAbove(int node);
    void collectTicked(int node, QStringList& paths) const;

    std::vector<Node> m_nodes;
    std::vector<int> m_top;
    QHash<QString, int> m_byPath;
    qsizetype m_files = 0;
};

// The tree narrowed to the names that hold a text, in any case, with the folders above them.
// A new text filters it afresh: changed in place, a filter takes rows out one range at a time
// and the view lays itself out again after each, which over 100,000 files took half a minute.
class FileTreeFilter : public QSortFilterProxyModel
{
public:
    explicit FileTreeFilter(FileTreeModel* model, QObject* parent = nullptr);
    void setFind(const QString& text);

protected:
    bool filterAcceptsRow(int row, const QModelIndex& parent) const override;

private:
    QString m_find;
};
