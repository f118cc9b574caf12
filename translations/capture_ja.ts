<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>Localizable</name>
    <message>
        <source>error.microphone_permission_not_granted</source>
        <translation>マイクへのアクセスが許可されていません。録音するには Tindrel にマイクの使用を許可してください。</translation>
    </message>
    <message>
        <source>error.microphone_permission_denied</source>
        <translation>Tindrel のマイクへのアクセスはオフになっています。録音するには設定で許可してください。</translation>
    </message>
    <message>
        <source>error.microphone_permission_request_in_progress</source>
        <translation>マイクの許可を確認中です。</translation>
    </message>
    <message>
        <source>error.audio_input_unavailable</source>
        <translation>マイクを開けませんでした。</translation>
    </message>
    <message>
        <source>error.recording_file_unwritable</source>
        <translation>録音ファイルを作成できませんでした。</translation>
    </message>
    <message>
        <source>error.auto_paste_internal</source>
        <translation>テキストを自動でペーストできませんでした。</translation>
    </message>
    <message>
        <source>microphone_consent.title</source>
        <translation>マイクへのアクセス</translation>
    </message>
    <message>
        <source>microphone_consent.message</source>
        <translation>Tindrel は音声を録音するためにマイクを使用します。</translation>
    </message>
    <message>
        <source>microphone_consent.detail</source>
        <translation>この選択は記憶されます。後から設定で変更できます。</translation>
    </message>
    <message>
        <source>microphone_consent.allow</source>
        <translation>許可</translation>
    </message>
    <message>
        <source>microphone_consent.deny</source>
        <translation>許可しない</translation>
    </message>
</context>
</TS>
