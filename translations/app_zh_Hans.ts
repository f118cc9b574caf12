<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Localizable</name>
    <message>
        <source>app.placeholder</source>
        <translation>Tindrel 正在启动。</translation>
    </message>
    <message>
        <source>settings_language_system</source>
        <translation>系统默认</translation>
    </message>
    <message>
        <source>settings_language_english</source>
        <translation>English</translation>
    </message>
    <message>
        <source>settings_language_chinese</source>
        <translation>简体中文</translation>
    </message>
    <message>
        <source>settings_language_japanese</source>
        <translation>日本語</translation>
    </message>
</context>
</TS>
