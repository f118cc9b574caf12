<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Localizable</name>
    <message>
        <source>error.transcribe.gateway_unavailable</source>
        <translation>The transcription service is temporarily unavailable. Please try again in a moment.</translation>
    </message>
    <message>
        <source>error.transcribe.gateway_unavailable_with_request_id</source>
        <translation>The transcription service is temporarily unavailable. Please try again in a moment. (Request ID: %@)</translation>
    </message>
    <message>
        <source>error.transcribe.failed</source>
        <translation>Transcription failed. Please try again.</translation>
    </message>
    <message>
        <source>error.transcribe.failed_with_request_id</source>
        <translation>Transcription failed. Please try again. If the problem persists, contact support with this request ID: %@</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required</source>
        <translation>Your plan does not include this processing mode. Upgrade your plan or switch to Fast Mode.</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required_with_request_id</source>
        <translation>Your plan does not include this processing mode. Upgrade your plan or switch to Fast Mode. (Request ID: %@)</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive</source>
        <translation>Your subscription is not active. Renew it on the billing page to continue transcribing.</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive_with_request_id</source>
        <translation>Your subscription is not active. Renew it on the billing page to continue transcribing. (Request ID: %@)</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit</source>
        <translation>Too many recordings are still waiting to be processed. Please wait a little and try again.</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit_with_request_id</source>
        <translation>Too many recordings are still waiting to be processed. Please wait a little and try again. (Request ID: %@)</translation>
    </message>
    <message>
        <source>error.transcribe.invalid_config</source>
        <translation>The backend address is not configured correctly.</translation>
    </message>
    <message>
        <source>error.transcribe.quota_exceeded</source>
        <translation>You have used up your transcription credits. Add credits or upgrade your plan to continue.</translation>
    </message>
    <message>
        <source>error.transcribe.no_text</source>
        <translation>No speech was recognised in the recording.</translation>
    </message>
    <message>
        <source>error.network.timed_out</source>
        <translation>The request timed out.</translation>
    </message>
    <message>
        <source>error.network.connection_lost</source>
        <translation>The network connection was lost.</translation>
    </message>
    <message>
        <source>error.network.cannot_connect</source>
        <translation>Could not connect to the server.</translation>
    </message>
    <message>
        <source>error.network.not_connected</source>
        <translation>The server could not be found. Check your Internet connection.</translation>
    </message>
    <message>
        <source>error.network.failed</source>
        <translation>A network error occurred.</translation>
    </message>
    <message>
        <source>error.file.read_failed</source>
        <translation>The file “%@” couldn’t be read.</translation>
    </message>
</context>
</TS>
