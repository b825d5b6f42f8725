#pragma once

#include <QDialog>
#include <QList>
#include <QSize>

#include <memory>

class QIcon;

namespace Ui {
class KvAboutBox;
}

// The modal about dialog: the program's icon, name and version, copyright,
// web link and donation account. Its only behaviour is closing, so it needs
// no meta-object of its own.
class KvAboutBox : public QDialog
{
public:
    explicit KvAboutBox(QWidget *parent = nullptr);
    ~KvAboutBox() override;

    // The size at which to draw an icon offering `available` sizes (in the
    // icon's own order) into a label of `bounds`: the fitting size with the
    // largest width + height, the first one on a tie. When nothing fits,
    // the smallest size scaled down into the bounds, so the picture is never
    // cropped; with no sizes at all (a scalable icon), the bounds.
    static QSize iconSizeFor(const QList<QSize> &available, const QSize &bounds);
    static QSize iconSizeFor(const QIcon &icon, const QSize &bounds);

private:
    const std::unique_ptr<Ui::KvAboutBox> ui;
};
