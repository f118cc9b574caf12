#pragma once

#include "capture/MicrophoneConsentPrompting.h"

#include <QPointer>
#include <QWidget>

class QMessageBox;

namespace tindrel {

// Asks once whether Tindrel may use the microphone (window-modal, so the event loop keeps
// running while it is open). Installed into the consent authorizer by the UI.
class MicrophoneConsentDialog final : public MicrophoneConsentPrompting {
public:
    explicit MicrophoneConsentDialog(QWidget *parent = nullptr) : m_parent(parent) {}

    QCoro::Task<std::optional<bool>> askForMicrophoneConsent() override;

    // The open dialog, for tests; null when none is shown.
    QMessageBox *currentDialog() const { return m_box; }

private:
    QPointer<QWidget> m_parent;
    QPointer<QMessageBox> m_box;
};

} // namespace tindrel
