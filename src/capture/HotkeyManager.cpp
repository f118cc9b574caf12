#include "capture/HotkeyManager.h"

#include "capture/X11HotkeyRegistrar.h"

namespace tindrel {

HotkeyManager::HotkeyManager(std::unique_ptr<HotkeyRegistering> registrar)
    : m_registrar(registrar ? std::move(registrar) : std::make_unique<X11HotkeyRegistrar>())
{}

HotkeyManager::~HotkeyManager() { unregisterHotkeys(); }

void HotkeyManager::registerHotkeys()
{
    unregisterHotkeys();
    m_registrar->registerHotkeys([this](int number) { handleHotkey(number); });
    m_registered = true;
}

void HotkeyManager::unregisterHotkeys()
{
    if (!m_registered)
        return;
    m_registrar->unregisterHotkeys();
    m_registered = false;
}

void HotkeyManager::handleHotkey(int number) const
{
    if (number == stopKeyNumber) {
        if (onStop)
            onStop();
    } else if (number == startKeyNumber) {
        if (onToggle)
            onToggle();
        else if (onStart)
            onStart();
    }
}

} // namespace tindrel
