<TS version="2.1" language="ja_JP" sourcelanguage="en_US"><context><name>UIString</name>
<message><source>_retries left</source><translation>__</translation></message>
</context></TS>
