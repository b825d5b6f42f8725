#include "rules/KvSettingsBinder.h"

#include "rules/KvSettings.h"
#include "support/KvLog.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListView>
#include <QSpinBox>

KvSettingsBinder::KvSettingsBinder(KvSettings *settings)
    : settings(settings)
{}

void KvSettingsBinder::bind(const QString &key, QWidget *widget)
{
    Binding binding;
    binding.widget = widget;
    bindings.insert(key, binding);
}

void KvSettingsBinder::bindGroup(const QString &key, const QList<QAbstractButton *> &buttons)
{
    Binding binding;
    binding.buttons = buttons;
    bindings.insert(key, binding);
}

void KvSettingsBinder::sync(bool save)
{
    if (!settings)
        return;
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it) {
        if (save)
            this->save(it.key(), it.value(), *settings);
        else
            load(it.key(), it.value(), *settings);
    }
}

void KvSettingsBinder::load(const QString &key, const Binding &binding, KvSettings &settings)
{
    if (auto *view = qobject_cast<QListView *>(binding.widget)) {
        QAbstractItemModel *model = view->model();
        if (!model)
            return;
        const QStringList values = settings.readStringArray(key);
        for (int row = 0; row < values.size(); ++row) {
            model->insertRow(row);
            model->setData(model->index(row, 0), values.at(row), Qt::EditRole);
        }
        return;
    }

    const QVariant value = settings.value(key);
    if (!value.isValid())
        return;

    if (!binding.buttons.isEmpty()) {
        // Clicking rather than checking, so that the dialog's click handlers
        // bring the rest of the form in line. An index that names no button
        // of the group (a hand-edited store) leaves the group untouched.
        const int index = value.toInt();
        if (index >= 0 && index < binding.buttons.size() && binding.buttons.at(index)) {
            binding.buttons.at(index)->click();
        } else {
            kvCritical(lcCorvane) << "settings key \"" << settings.group() << "/" << key
                                  << "\" holds choice " << value.toString() << " of "
                                  << binding.buttons.size() << "; the form keeps its own";
        }
    } else if (auto *checkBox = qobject_cast<QCheckBox *>(binding.widget)) {
        checkBox->setCheckState(static_cast<Qt::CheckState>(value.toUInt()));
    } else if (auto *comboBox = qobject_cast<QComboBox *>(binding.widget)) {
        comboBox->setCurrentIndex(
            comboBox->findData(value, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive));
    } else if (auto *lineEdit = qobject_cast<QLineEdit *>(binding.widget)) {
        lineEdit->setText(value.toString());
    } else if (auto *spinBox = qobject_cast<QSpinBox *>(binding.widget)) {
        spinBox->setValue(value.toInt());
    }
}

void KvSettingsBinder::save(const QString &key, const Binding &binding, KvSettings &settings)
{
    if (!binding.buttons.isEmpty()) {
        int checked = 0;
        while (checked < binding.buttons.size() &&
               !(binding.buttons.at(checked) && binding.buttons.at(checked)->isChecked()))
            ++checked;
        settings.setValue(key, checked);
    } else if (auto *checkBox = qobject_cast<QCheckBox *>(binding.widget)) {
        settings.setValue(key, static_cast<int>(checkBox->checkState()));
    } else if (auto *comboBox = qobject_cast<QComboBox *>(binding.widget)) {
        settings.setValue(key, comboBox->currentData(Qt::UserRole));
    } else if (auto *lineEdit = qobject_cast<QLineEdit *>(binding.widget)) {
        settings.setValue(key, lineEdit->text());
    } else if (auto *view = qobject_cast<QListView *>(binding.widget)) {
        QStringList values;
        if (QAbstractItemModel *model = view->model()) {
            for (int row = 0; row < model->rowCount(); ++row)
                values.append(model->index(row, 0).data(Qt::EditRole).toString());
        }
        settings.writeStringArray(key, values);
    } else if (auto *spinBox = qobject_cast<QSpinBox *>(binding.widget)) {
        settings.setValue(key, spinBox->value());
    }
}
