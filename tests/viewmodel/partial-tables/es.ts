<TS version="2.1" language="es_ES" sourcelanguage="en_US"><context><name>UIString</name>
<message><source>PIN is set</source><translation>PIN puesto</translation></message>
<message><source>_retries left</source><translation>quedan_intentos</translation></message>
<message><source>to_characters</source><translation>a caracteres</translation></message>
<message><source>Resident credential counts:_, remains:</source><translation>_x</translation></message>
</context></TS>
