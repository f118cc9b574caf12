#include "capture/AutoPasteError.h"

#include "core/Localizer.h"

namespace tindrel {

AutoPasteError::AutoPasteError(QString detail, Code code)
    : m_code(code), m_detail(std::move(detail)), m_what(description().toUtf8())
{}

QString AutoPasteError::description() const
{
    return localized("error.auto_paste_internal", "The text could not be pasted automatically.",
                     "Auto-paste error: the paste keystroke could not be sent");
}

} // namespace tindrel
