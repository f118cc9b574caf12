#include "capture/DefaultAudioInput.h"

#include <QDeadlineTimer>
#include <QMediaDevices>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

namespace tindrel {

namespace {

struct ServerQuery {
    QByteArray sourceName;
    bool done = false;
};

void onServerInfo(pa_context *, const pa_server_info *info, void *userdata)
{
    auto *query = static_cast<ServerQuery *>(userdata);
    if (info && info->default_source_name)
        query->sourceName = QByteArray(info->default_source_name);
    query->done = true;
}

} // namespace

QByteArray DefaultAudioInput::serverDefaultSourceName()
{
    pa_mainloop *loop = pa_mainloop_new();
    if (!loop)
        return {};
    pa_context *context = pa_context_new(pa_mainloop_get_api(loop), "Tindrel");
    ServerQuery query;
    if (context && pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        pa_operation *operation = nullptr;
        // Bounded: a wedged server must not freeze the start of a capture.
        QDeadlineTimer deadline(1000);
        while (!query.done && !deadline.hasExpired()) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED)
                break;
            if (state == PA_CONTEXT_READY && !operation)
                operation = pa_context_get_server_info(context, onServerInfo, &query);
            if (pa_mainloop_prepare(loop, 50 * 1000) < 0 || pa_mainloop_poll(loop) < 0
                || pa_mainloop_dispatch(loop) < 0)
                break;
        }
        if (operation) {
            pa_operation_cancel(operation);
            pa_operation_unref(operation);
        }
        pa_context_disconnect(context);
    }
    if (context)
        pa_context_unref(context);
    pa_mainloop_free(loop);
    return query.sourceName;
}

QAudioDevice DefaultAudioInput::device()
{
    const QByteArray name = serverDefaultSourceName();
    if (!name.isEmpty()) {
        for (const QAudioDevice &device : QMediaDevices::audioInputs()) {
            if (device.id() == name)
                return device;
        }
    }
    return QMediaDevices::defaultAudioInput();
}

} // namespace tindrel
