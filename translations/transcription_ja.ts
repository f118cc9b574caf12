<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja">
<context>
    <name>Localizable</name>
    <message>
        <source>error.transcribe.gateway_unavailable</source>
        <translation>文字起こしサービスは一時的に利用できません。しばらくしてからもう一度お試しください。</translation>
    </message>
    <message>
        <source>error.transcribe.gateway_unavailable_with_request_id</source>
        <translation>文字起こしサービスは一時的に利用できません。しばらくしてからもう一度お試しください。（リクエスト ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.failed</source>
        <translation>文字起こしに失敗しました。もう一度お試しください。</translation>
    </message>
    <message>
        <source>error.transcribe.failed_with_request_id</source>
        <translation>文字起こしに失敗しました。もう一度お試しください。問題が解決しない場合は、次のリクエスト ID を添えてサポートにお問い合わせください：%@</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required</source>
        <translation>ご利用のプランではこの処理モードを使用できません。プランをアップグレードするか、高速モードに切り替えてください。</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_required_with_request_id</source>
        <translation>ご利用のプランではこの処理モードを使用できません。プランをアップグレードするか、高速モードに切り替えてください。（リクエスト ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive</source>
        <translation>サブスクリプションが有効ではありません。文字起こしを続けるには、請求ページで更新してください。</translation>
    </message>
    <message>
        <source>error.transcribe.entitlement_inactive_with_request_id</source>
        <translation>サブスクリプションが有効ではありません。文字起こしを続けるには、請求ページで更新してください。（リクエスト ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit</source>
        <translation>処理待ちの録音が多すぎます。少し待ってからもう一度お試しください。</translation>
    </message>
    <message>
        <source>error.transcribe.pending_upload_storage_limit_with_request_id</source>
        <translation>処理待ちの録音が多すぎます。少し待ってからもう一度お試しください。（リクエスト ID：%@）</translation>
    </message>
    <message>
        <source>error.transcribe.invalid_config</source>
        <translation>バックエンドのアドレスが正しく設定されていません。</translation>
    </message>
    <message>
        <source>error.transcribe.quota_exceeded</source>
        <translation>文字起こしのクレジットを使い切りました。続けるにはクレジットを追加するか、プランをアップグレードしてください。</translation>
    </message>
    <message>
        <source>error.transcribe.no_text</source>
        <translation>録音から音声を認識できませんでした。</translation>
    </message>
    <message>
        <source>error.network.timed_out</source>
        <translation>リクエストがタイムアウトしました。</translation>
    </message>
    <message>
        <source>error.network.connection_lost</source>
        <translation>ネットワーク接続が切断されました。</translation>
    </message>
    <message>
        <source>error.network.cannot_connect</source>
        <translation>サーバに接続できませんでした。</translation>
    </message>
    <message>
        <source>error.network.not_connected</source>
        <translation>サーバが見つかりませんでした。インターネット接続を確認してください。</translation>
    </message>
    <message>
        <source>error.network.failed</source>
        <translation>ネットワークエラーが発生しました。</translation>
    </message>
    <message>
        <source>error.file.read_failed</source>
        <translation>ファイル“%@”を読み込めませんでした。</translation>
    </message>
</context>
</TS>
