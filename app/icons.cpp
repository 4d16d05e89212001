// The program's icons.
#include "app/icons.h"

#include <QFileInfo>
#include <QHash>

namespace imbrix::app {

void setUpIconTheme() {
    const QString folder = QStringLiteral("/usr/share/icons");
    QStringList paths = QIcon::themeSearchPaths();
    if (!paths.contains(folder)) {
        paths.append(folder);
        QIcon::setThemeSearchPaths(paths);
    }
    if (QFileInfo::exists(folder + QStringLiteral("/breeze/index.theme"))) {
        QIcon::setThemeName(QStringLiteral("breeze"));
    }
    QIcon::setFallbackThemeName(QStringLiteral("hicolor"));
}

QIcon designIcon(const QString& name) {
    static const QHash<QString, QString> kThemeNames = {
        {QStringLiteral("add"), QStringLiteral("list-add")},
        {QStringLiteral("folder_add"), QStringLiteral("folder-add")},
        {QStringLiteral("delete"), QStringLiteral("edit-delete")},
        {QStringLiteral("clear"), QStringLiteral("edit-clear-all")},
        {QStringLiteral("next"), QStringLiteral("go-next")},
        {QStringLiteral("previous"), QStringLiteral("go-previous")},
        {QStringLiteral("folder"), QStringLiteral("document-open-folder")},
        {QStringLiteral("tick_button"), QStringLiteral("dialog-ok-apply")},
        {QStringLiteral("stop"), QStringLiteral("process-stop")},
        {QStringLiteral("exit"), QStringLiteral("application-exit")},
        {QStringLiteral("help"), QStringLiteral("help-contents")},
        {QStringLiteral("feedback"), QStringLiteral("mail-send")},
        {QStringLiteral("about"), QStringLiteral("help-about")},
    };
    auto it = kThemeNames.constFind(name);
    return it == kThemeNames.constEnd() ? QIcon() : QIcon::fromTheme(*it);
}

}  // namespace imbrix::app
