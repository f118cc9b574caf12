<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Localizable</name>
    <message>
        <source>processing_mode.fast</source>
        <translation>快速模式</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy</source>
        <translation>高精度模式</translation>
    </message>
    <message>
        <source>processing_mode.fast_option</source>
        <translation>快速模式 · 1 积分/秒</translation>
    </message>
    <message>
        <source>processing_mode.high_accuracy_option</source>
        <translation>高精度模式 · Pro · 3 积分/秒</translation>
    </message>
</context>
</TS>
