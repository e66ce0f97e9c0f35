#include "app/Accessibility.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

namespace norvane {

namespace {

QAccessibleInterface* windowsAsFrames(const QString& className, QObject* object) {
    static const QStringList windows{QStringLiteral("TFLogin"), QStringLiteral("TFPrincipal"),
                                     QStringLiteral("TFNovaVersao")};
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget || !widget->isWindow() || !windows.contains(className)) return nullptr;
    return new QAccessibleWidget(widget, QAccessible::Window);
}

class EnterPresses final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
            (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier)
            return false;
        auto* button = qobject_cast<QPushButton*>(watched);
        if (!button || !button->isEnabled() || !button->isVisible()) return false;
        button->animateClick();
        return true;
    }
};

template <typename Control>
void name(QFileDialog* dialog, const char* objectName, const QString& text, const QString& description = QString()) {
    if (auto* control = dialog->findChild<Control*>(QLatin1String(objectName))) {
        control->setAccessibleName(text);
        if (!description.isEmpty()) control->setAccessibleDescription(description);
    }
}

}  // namespace

void describeWindowsAsFrames() {
    static const bool installed = [] {
        QAccessible::installFactory(windowsAsFrames);
        return true;
    }();
    (void)installed;
}

void pressFocusedButtonOnEnter(QWidget* window) {
    auto* filter = new EnterPresses(window);
    for (QPushButton* button : window->findChildren<QPushButton*>()) button->installEventFilter(filter);
}

void nameFileDialogControls(QFileDialog* dialog) {
    const bool folders = dialog->fileMode() == QFileDialog::Directory;
    name<QComboBox>(dialog, "lookInCombo", QStringLiteral("Examinar"), QStringLiteral("A pasta mostrada"));
    name<QToolButton>(dialog, "backButton", QStringLiteral("Voltar"), QStringLiteral("Volta à pasta anterior"));
    name<QToolButton>(dialog, "forwardButton", QStringLiteral("Avançar"), QStringLiteral("Avança à pasta seguinte"));
    name<QToolButton>(dialog, "toParentButton", QStringLiteral("Pasta acima"),
                      QStringLiteral("Vai à pasta que contém esta"));
    name<QToolButton>(dialog, "newFolderButton", QStringLiteral("Criar pasta"), QStringLiteral("Cria uma nova pasta"));
    name<QToolButton>(dialog, "listModeButton", QStringLiteral("Exibir em lista"),
                      QStringLiteral("Mostra os itens em lista"));
    name<QToolButton>(dialog, "detailModeButton", QStringLiteral("Exibir detalhes"),
                      QStringLiteral("Mostra os itens com tamanho, tipo e data"));
    name<QAbstractItemView>(dialog, "sidebar", QStringLiteral("Locais"), QStringLiteral("Locais e favoritos"));
    name<QAbstractItemView>(dialog, "listView", folders ? QStringLiteral("Pastas") : QStringLiteral("Arquivos"));
    name<QAbstractItemView>(dialog, "treeView", folders ? QStringLiteral("Pastas") : QStringLiteral("Arquivos"));
    name<QLineEdit>(dialog, "fileNameEdit", folders ? QStringLiteral("Caminho da pasta") : QStringLiteral("Nome do arquivo"),
                    folders ? QStringLiteral("Digite o caminho da pasta e tecle Enter")
                            : QStringLiteral("Digite o caminho do arquivo e tecle Enter"));
    name<QComboBox>(dialog, "fileTypeCombo", QStringLiteral("Tipo de arquivo"));
}

}  // namespace norvane
