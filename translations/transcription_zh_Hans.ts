<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_Hans">
<context>
    <name>Localizable</name>
    <message>
        <source>error.transcribe.gateway_unavailable</source>
        <translation>转写服务暂时不可用，请稍后重试。</translation>
    </message>
    <message>
        <source>error.transcribe.gateway_unavailable_with_request_id</source>
        <translation>转写服务暂时不可用，请稍后重试。（请求 ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.failed</source>
        <translation>转写失败，请重试。</translation>
    </message>
    <message>
        <source>error.transcribe.failed_with_request_id</source>
        <translation>转写失败，请重试。如果问题仍然存在，请联系支持并提供此请求 ID：%@</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required</source>
        <translation>您的套餐不包含此处理模式。请升级套餐或切换到快速模式。</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required_with_request_id</source>
        <translation>您的套餐不包含此处理模式。请升级套餐或切换到快速模式。（请求 ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive</source>
        <translation>您的订阅未激活。请在账单页面续订以继续转写。</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive_with_request_id</source>
        <translation>您的订阅未激活。请在账单页面续订以继续转写。（请求 ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit</source>
        <translation>待处理的录音过多，请稍候再试。</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit_with_request_id</source>
        <translation>待处理的录音过多，请稍候再试。（请求 ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.invalid_config</source>
        <translation>后端地址配置不正确。</translation>
    </message>
    <message>
        <source>error.transcribe.quota_exceeded</source>
        <translation>您的转写额度已用完。请充值或升级套餐以继续使用。</translation>
    </message>
    <message>
        <source>error.transcribe.no_text</source>
        <translation>录音中未识别到语音。</translation>
    </message>
    <message>
        <source>error.network.timed_out</source>
        <translation>请求超时。</translation>
    </message>
    <message>
        <source>error.network.connection_lost</source>
        <translation>网络连接已中断。</translation>
    </message>
    <message>
        <source>error.network.cannot_connect</source>
        <translation>无法连接到服务器。</translation>
    </message>
    <message>
        <source>error.network.not_connected</source>
        <translation>找不到服务器。请检查您的互联网连接。</translation>
    </message>
    <message>
        <source>error.network.failed</source>
        <translation>发生网络错误。</translation>
    </message>
    <message>
        <source>error.file.read_failed</source>
        <translation>无法读取文件“%@”。</translation>
    </message>
</context>
</TS>
