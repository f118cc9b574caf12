<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ja_JP">
<context>
    <name>Localizable</name>
    <message>
        <source>processing_mode.fast</source>
        <translation>高速モード</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy</source>
        <translation>高精度モード</translation>
    </message>
    <message>
        <source>processing_mode.fast_option</source>
        <translation>高速モード · 1 クレジット/秒</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy_option</source>
        <translation>高精度モード · Pro · 3 クレジット/秒</translation>
    </message>
</context>
</TS>
