#include "control/debugform.h"

#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QVBoxLayout>
#include <cstdio>

TFormDebug::TFormDebug(QWidget* parent)
    // A tool window: a helper of the tray program gets no task-bar button.
    : QWidget(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QString::fromUtf8(kCaption));
    resize(kWidth, kHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    ListBox1 = new QListWidget(this);
    ListBox1->setUniformItemSizes(true);
    QFont font = ListBox1->font();
    font.setPixelSize(kLineHeight - 2);
    ListBox1->setFont(font);
    layout->addWidget(ListBox1);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

TFormDebug::~TFormDebug() = default;

void TFormDebug::AddLine(const std::string& line) {
    std::fprintf(stderr, "TolvarCtrl log: %.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
    auto* item =
        new QListWidgetItem(QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())));
    item->setSizeHint(QSize(0, kLineHeight));
    ListBox1->addItem(item);
}

void TFormDebug::Clear() {
    ListBox1->clear();
}

std::vector<std::string> TFormDebug::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(ListBox1->count()));
    for (int i = 0; i < ListBox1->count(); ++i) {
        lines.push_back(ListBox1->item(i)->text().toStdString());
    }
    return lines;
}
