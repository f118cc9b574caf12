<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message>
        <source>error.microphone_permission_not_granted</source>
        <translation>Microphone access was not granted. Allow Tindrel to use the microphone to record.</translation>
    </message>
    <message>
        <source>error.microphone_permission_denied</source>
        <translation>Microphone access is turned off for Tindrel. Allow it in the settings to record.</translation>
    </message>
    <message>
        <source>error.microphone_permission_request_in_progress</source>
        <translation>A microphone permission request is already open.</translation>
    </message>
    <message>
        <source>error.audio_input_unavailable</source>
        <translation>The microphone could not be opened.</translation>
    </message>
    <message>
        <source>error.recording_file_unwritable</source>
        <translation>The recording file could not be created.</translation>
    </message>
    <message>
        <source>error.auto_paste_internal</source>
        <translation>The text could not be pasted automatically.</translation>
    </message>
    <message>
        <source>microphone_consent.title</source>
        <translation>Microphone Access</translation>
    </message>
    <message>
        <source>microphone_consent.message</source>
        <translation>Tindrel would like to use the microphone to record your speech.</translation>
    </message>
    <message>
        <source>microphone_consent.detail</source>
        <translation>Your answer is remembered. You can change it later in the settings.</translation>
    </message>
    <message>
        <source>microphone_consent.allow</source>
        <translation>Allow</translation>
    </message>
    <message>
        <source>microphone_consent.deny</source>
        <translation>Don't Allow</translation>
    </message>
</context>
</TS>
