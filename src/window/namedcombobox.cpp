#include "window/namedcombobox.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLineEdit>

namespace window {

namespace {

class NamedComboBox : public QAccessibleWidget {
public:
    explicit NamedComboBox(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text kind) const override {
        const QComboBox* box = comboBox();
        if (kind == QAccessible::Name && !box->accessibleName().isEmpty())
            return box->accessibleName();
        if (kind == QAccessible::Name || kind == QAccessible::Value) return box->currentText();
        return QAccessibleWidget::text(kind);
    }

    // The list of entries first, then the typing field of an editable box.
    int childCount() const override { return comboBox()->lineEdit() ? 2 : 1; }
    QAccessibleInterface* child(int index) const override {
        QObject* part = nullptr;
        if (index == 0) part = comboBox()->view();
        if (index == 1) part = comboBox()->lineEdit();
        return part ? QAccessible::queryAccessibleInterface(part) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (child == nullptr) return -1;
        if (child->object() == comboBox()->view()) return 0;
        if (child->object() != nullptr && child->object() == comboBox()->lineEdit()) return 1;
        return -1;
    }

    // Opening the list stays possible from the assistive tool.
    QStringList actionNames() const override {
        return QAccessibleWidget::actionNames() << showMenuAction();
    }
    void doAction(const QString& action) override {
        if (action == showMenuAction()) {
            comboBox()->showPopup();
            return;
        }
        QAccessibleWidget::doAction(action);
    }

private:
    QComboBox* comboBox() const { return static_cast<QComboBox*>(widget()); }
};

QAccessibleInterface* namedComboBoxes(const QString& className, QObject* object) {
    if (className != QLatin1String("QComboBox")) return nullptr;
    auto* box = qobject_cast<QComboBox*>(object);
    return box ? new NamedComboBox(box) : nullptr;
}

}  // namespace

void nameComboBoxesByAccessibleName() {
    static const bool installed = [] {
        QAccessible::installFactory(namedComboBoxes);
        return true;
    }();
    Q_UNUSED(installed);
}

}  // namespace window
