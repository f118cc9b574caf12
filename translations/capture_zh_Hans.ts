<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Localizable</name>
    <message>
        <source>error.microphone_permission_not_granted</source>
        <translation>未获得麦克风权限。请允许 Tindrel 使用麦克风后再录音。</translation>
    </message>
    <message>
        <source>error.microphone_permission_denied</source>
        <translation>Tindrel 的麦克风权限已关闭。请在设置中允许后再录音。</translation>
    </message>
    <message>
        <source>error.microphone_permission_request_in_progress</source>
        <translation>麦克风权限请求正在进行中。</translation>
    </message>
    <message>
        <source>error.audio_input_unavailable</source>
        <translation>无法打开麦克风。</translation>
    </message>
    <message>
        <source>error.recording_file_unwritable</source>
        <translation>无法创建录音文件。</translation>
    </message>
    <message>
        <source>error.auto_paste_internal</source>
        <translation>无法自动粘贴文本。</translation>
    </message>
    <message>
        <source>microphone_consent.title</source>
        <translation>麦克风访问</translation>
    </message>
    <message>
        <source>microphone_consent.message</source>
        <translation>Tindrel 需要使用麦克风来录制您的语音。</translation>
    </message>
    <message>
        <source>microphone_consent.detail</source>
        <translation>您的选择会被记住，之后可以在设置中更改。</translation>
    </message>
    <message>
        <source>microphone_consent.allow</source>
        <translation>允许</translation>
    </message>
    <message>
        <source>microphone_consent.deny</source>
        <translation>不允许</translation>
    </message>
</context>
</TS>
