#include "FileTreeModel.h"

#include "backup/PathText.h"
#include "backup/RunStatus.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QStyle>

FileTreeModel::FileTreeModel(QObject* parent) : QAbstractItemModel(parent) {}

void FileTreeModel::clear()
{
    beginResetModel();
    m_nodes.clear();
    m_top.clear();
    m_byPath.clear();
    m_files = 0;
    endResetModel();
    emit tickedChanged();
}

// The node of a folder, made (with the folders above it) when the list has no entry for it.
int FileTreeModel::folderNode(const QString& path)
{
    if (const auto found = m_byPath.constFind(path); found != m_byPath.constEnd())
        return *found;
    const qsizetype slash = path.lastIndexOf(u'/');
    const int parent = slash < 0 ? -1 : folderNode(path.left(slash));
    Node node;
    node.name = path.mid(slash + 1);
    node.path = path;
    node.parent = parent;
    const int id = int(m_nodes.size());
    std::vector<int>& siblings = parent < 0 ? m_top : m_nodes[size_t(parent)].children;
    node.row = int(siblings.size());
    siblings.push_back(id);
    m_nodes.push_back(std::move(node));
    m_byPath.insert(path, id);
    return id;
}

void FileTreeModel::setEntries(const QList<RestoreEntry>& entries)
{
    beginResetModel();
    m_nodes.clear();
    m_top.clear();
    m_byPath.clear();
    m_files = 0;
    m_nodes.reserve(size_t(entries.size()));
    m_byPath.reserve(entries.size());
    for (const RestoreEntry& entry : entries) {
        if (entry.path.isEmpty())
            continue;
        int id;
        if (entry.kind == RestoreEntry::Kind::Folder) {
            id = folderNode(entry.path);
        } else {
            const qsizetype slash = entry.path.lastIndexOf(u'/');
            const int parent = slash < 0 ? -1 : folderNode(entry.path.left(slash));
            Node node;
            node.name = entry.path.mid(slash + 1);
            node.path = entry.path;
            node.parent = parent;
            id = int(m_nodes.size());
            std::vector<int>& siblings = parent < 0 ? m_top : m_nodes[size_t(parent)].children;
            node.row = int(siblings.size());
            siblings.push_back(id);
            m_nodes.push_back(std::move(node));
            m_byPath.insert(entry.path, id);
            ++m_files;
        }
        Node& node = m_nodes[size_t(id)];
        node.kind = entry.kind;
        node.size = entry.size;
        node.modified = entry.modified;
        node.linkTarget = entry.linkTarget;
    }
    endResetModel();
    emit tickedChanged();
}

QStringList FileTreeModel::tickedPaths() const
{
    QStringList paths;
    for (int node : m_top)
        collectTicked(node, paths);
    return paths;
}

void FileTreeModel::collectTicked(int id, QStringList& paths) const
{
    const Node& node = m_nodes[size_t(id)];
    if (node.check == Qt::Checked) {
        paths << node.path;
    } else if (node.check == Qt::PartiallyChecked) {
        for (int child : node.children)
            collectTicked(child, paths);
    }
}

QModelIndex FileTreeModel::indexOfPath(const QString& path) const
{
    const auto found = m_byPath.constFind(path);
    return found == m_byPath.constEnd() ? QModelIndex() : indexOf(*found);
}

int FileTreeModel::nodeOf(const QModelIndex& index) const
{
    return index.isValid() ? int(index.internalId()) : -1;
}

const std::vector<int>& FileTreeModel::childrenOf(int node) const
{
    return node < 0 ? m_top : m_nodes[size_t(node)].children;
}

QModelIndex FileTreeModel::indexOf(int node, int column) const
{
    return node < 0 ? QModelIndex() : createIndex(m_nodes[size_t(node)].row, column, quintptr(node));
}

QModelIndex FileTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    const std::vector<int>& children = childrenOf(nodeOf(parent));
    if (row < 0 || size_t(row) >= children.size() || column < 0 || column >= ColumnCount)
        return {};
    return createIndex(row, column, quintptr(children[size_t(row)]));
}

QModelIndex FileTreeModel::parent(const QModelIndex& child) const
{
    const int node = nodeOf(child);
    return node < 0 ? QModelIndex() : indexOf(m_nodes[size_t(node)].parent);
}

int FileTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0)
        return 0;
    return int(childrenOf(nodeOf(parent)).size());
}

int FileTreeModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

QVariant FileTreeModel::data(const QModelIndex& index, int role) const
{
    const int id = nodeOf(index);
    if (id < 0)
        return {};
    const Node& node = m_nodes[size_t(id)];
    const bool folder = node.kind == RestoreEntry::Kind::Folder;
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Name:
            return node.kind == RestoreEntry::Kind::Link ? visiblePath(node.name) + u" \u2192 " + visiblePath(node.linkTarget)
                                                         : visiblePath(node.name);
        case Size:
            return folder ? QVariant() : QVariant(formatSize(node.size));
        case Modified:
            return node.modified.isValid() ? QVariant(node.modified.toString(QStringLiteral("yyyy-MM-dd HH:mm")))
                                           : QVariant();
        }
        return {};
    case Qt::CheckStateRole:
        return index.column() == Name ? QVariant(node.check) : QVariant();
    case Qt::DecorationRole:
        if (index.column() != Name)
            return {};
        return QApplication::style()->standardIcon(folder ? QStyle::SP_DirIcon
                                                   : node.kind == RestoreEntry::Kind::Link ? QStyle::SP_FileLinkIcon
                                                                                           : QStyle::SP_FileIcon);
    case Qt::TextAlignmentRole:
        return index.column() == Size ? QVariant(Qt::AlignRight | Qt::AlignVCenter) : QVariant();
    case PathRole:
        return node.path;
    }
    return {};
}

bool FileTreeModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    const int id = nodeOf(index);
    if (id < 0 || role != Qt::CheckStateRole || index.column() != Name)
        return false;
    const auto state = value.value<Qt::CheckState>() == Qt::Unchecked ? Qt::Unchecked : Qt::Checked;
    tickBelow(id, state);
    emit dataChanged(index.siblingAtColumn(Name), index.siblingAtColumn(Name), {Qt::CheckStateRole});
    updateAbove(m_nodes[size_t(id)].parent);
    emit tickedChanged();
    return true;
}

void FileTreeModel::tickBelow(int id, Qt::CheckState state)
{
    Node& node = m_nodes[size_t(id)];
    node.check = state;
    if (node.children.empty())
        return;
    for (int child : node.children)
        tickBelow(child, state);
    // One signal per folder, not per file: a view and a filter keep up with 100,000 files.
    const std::vector<int>& children = m_nodes[size_t(id)].children;
    emit dataChanged(indexOf(children.front()), indexOf(children.back()), {Qt::CheckStateRole});
}

void FileTreeModel::updateAbove(int id)
{
    for (; id >= 0; id = m_nodes[size_t(id)].parent) {
        Node& node = m_nodes[size_t(id)];
        bool all = true;
        bool any = false;
        for (int child : node.children) {
            const Qt::CheckState check = m_nodes[size_t(child)].check;
            all = all && check == Qt::Checked;
            any = any || check != Qt::Unchecked;
        }
        const Qt::CheckState state = all ? Qt::Checked : any ? Qt::PartiallyChecked : Qt::Unchecked;
        if (state == node.check)
            return;
        node.check = state;
        const QModelIndex changed = indexOf(id);
        emit dataChanged(changed, changed, {Qt::CheckStateRole});
    }
}

Qt::ItemFlags FileTreeModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == Name)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant FileTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Name: return QStringLiteral("Name");
    case Size: return QStringLiteral("Size");
    case Modified: return QStringLiteral("Modified");
    }
    return {};
}

FileTreeFilter::FileTreeFilter(FileTreeModel* model, QObject* parent) : QSortFilterProxyModel(parent)
{
    setSourceModel(model);
    setRecursiveFilteringEnabled(true);
    // Ticks change no name: the filter need not look again at every tick.
    setDynamicSortFilter(false);
}

void FileTreeFilter::setFind(const QString& text)
{
    beginResetModel();
    m_find = text;
    endResetModel();
}

bool FileTreeFilter::filterAcceptsRow(int row, const QModelIndex& parent) const
{
    return m_find.isEmpty()
           || sourceModel()->index(row, FileTreeModel::Name, parent).data().toString().contains(m_find, Qt::CaseInsensitive);
}
