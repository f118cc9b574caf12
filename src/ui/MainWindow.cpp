#include "ui/MainWindow.h"

#include "app/AppState.h"
#include "core/Localizer.h"

#include <QLabel>
#include <QVBoxLayout>

namespace tindrel {

MainWindow::MainWindow(AppState &state, QWidget *parent) : QMainWindow(parent), m_state(state)
{
    setWindowTitle(QStringLiteral("Tindrel"));
    resize(960, 640);
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    auto *label =
        new QLabel(localized("app.placeholder", "Tindrel is starting up.", "Placeholder window content"), central);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    setCentralWidget(central);
}

} // namespace tindrel
