#include "backend/FileReadError.h"

#include "core/Localizer.h"

namespace tindrel {

FileReadError::FileReadError(QString fileName, QString reason)
    : m_fileName(std::move(fileName)), m_reason(std::move(reason)), m_what(description().toUtf8())
{}

QString FileReadError::description() const
{
    return localizedFormat("error.file.read_failed", "The file “%@” couldn’t be read.", "Recording file unreadable",
                           {m_fileName});
}

} // namespace tindrel
