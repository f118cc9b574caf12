#pragma once

#include <QMainWindow>

namespace tindrel {

class AppState;

// The application's single window.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppState &state, QWidget *parent = nullptr);

private:
    AppState &m_state;
};

} // namespace tindrel
