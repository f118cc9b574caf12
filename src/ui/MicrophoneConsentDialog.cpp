#include "ui/MicrophoneConsentDialog.h"

#include "core/Localizer.h"

#include <QCoroSignal>
#include <QMessageBox>
#include <QPushButton>

namespace tindrel {

QCoro::Task<std::optional<bool>> MicrophoneConsentDialog::askForMicrophoneConsent()
{
    QPointer<QMessageBox> box = new QMessageBox(m_parent);
    box->setIcon(QMessageBox::Question);
    box->setWindowTitle(
        localized("microphone_consent.title", "Microphone Access", "Title of the dialog asking for microphone access"));
    box->setText(localized("microphone_consent.message",
                           "Tindrel would like to use the microphone to record your speech.",
                           "Question of the microphone access dialog"));
    box->setInformativeText(localized("microphone_consent.detail",
                                      "Your answer is remembered. You can change it later in the settings.",
                                      "Explanation below the microphone access question"));
    QPushButton *allow = box->addButton(localized("microphone_consent.allow", "Allow", "Grant microphone access"),
                                        QMessageBox::AcceptRole);
    QPushButton *refuse = box->addButton(
        localized("microphone_consent.deny", "Don't Allow", "Refuse microphone access"), QMessageBox::RejectRole);
    box->setDefaultButton(allow);
    m_box = box;
    box->open();

    // Escape and the close button count as "Don't Allow" (the reject-role button).
    // QCoro resumes through a queued call that dies with its sender, so the box must outlive
    // the signal: it is deleted here, not on close.
    co_await qCoro(box.data(), &QMessageBox::finished);
    QAbstractButton *clicked = box ? box->clickedButton() : nullptr;
    if (box)
        box->deleteLater();
    if (clicked == allow)
        co_return true;
    if (clicked == refuse)
        co_return false;
    co_return std::nullopt;
}

} // namespace tindrel
