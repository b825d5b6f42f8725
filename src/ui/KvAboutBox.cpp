#include "ui/KvAboutBox.h"

#include "ui_KvAboutBox.h"

#include <QCoreApplication>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QIcon>
#include <QLayout>

KvAboutBox::KvAboutBox(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::KvAboutBox)
{
    ui->setupUi(this);

    // The label gets its real size only from the layout; before that it
    // still has a widget's default geometry, which says nothing about the
    // room the picture will have.
    layout()->activate();
    const QSize bounds = ui->icon->size().expandedTo(ui->icon->minimumSize());

    const QIcon icon = QFileIconProvider().icon(QFileInfo(QCoreApplication::applicationFilePath()));
    ui->icon->setPixmap(icon.pixmap(iconSizeFor(icon, bounds), QIcon::Normal, QIcon::Off));

    ui->name->setText(QStringLiteral("<b>") + QCoreApplication::applicationName() +
                      QStringLiteral("</b> ") + QCoreApplication::applicationVersion());
}

KvAboutBox::~KvAboutBox() = default;

QSize KvAboutBox::iconSizeFor(const QList<QSize> &available, const QSize &bounds)
{
    QSize best;
    for (const QSize &size : available) {
        if (size.width() > bounds.width() || size.height() > bounds.height())
            continue;
        if (!best.isValid() || size.width() + size.height() > best.width() + best.height())
            best = size;
    }
    if (best.isValid())
        return best;

    if (available.isEmpty())
        return bounds;

    QSize smallest = available.first();
    for (const QSize &size : available) {
        if (size.width() + size.height() < smallest.width() + smallest.height())
            smallest = size;
    }
    return smallest.scaled(bounds, Qt::KeepAspectRatio);
}

QSize KvAboutBox::iconSizeFor(const QIcon &icon, const QSize &bounds)
{
    return iconSizeFor(icon.availableSizes(QIcon::Normal, QIcon::Off), bounds);
}
