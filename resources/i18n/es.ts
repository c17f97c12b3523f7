<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES" sourcelanguage="en_US">
<context>
    <name>UIString</name>
    <message>
        <source>JOV Marrowtillance</source>
        <translation>JOV Marrowtillance</translation>
    </message>
    <message>
        <source>OTP</source>
        <translation>OTP</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Configuración</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>Idioma</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Ayuda</translation>
    </message>
    <message>
        <source>Minimize</source>
        <translation>Minimizar</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Salir</translation>
    </message>
    <message>
        <source>Set PIN</source>
        <translation>Establecer PIN</translation>
    </message>
    <message>
        <source>Change PIN</source>
        <translation>Cambiar PIN</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>Restablecer</translation>
    </message>
    <message>
        <source>Credential Management</source>
        <translation>Gestión de credenciales</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>Dispositivo</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Estado</translation>
    </message>
    <message>
        <source>Firmware Version:</source>
        <translation>Versión de firmware:</translation>
    </message>
    <message>
        <source>AAGUID:</source>
        <translation>AAGUID:</translation>
    </message>
    <message>
        <source>Protocol:</source>
        <translation>Protocolo:</translation>
    </message>
    <message>
        <source>PIN is set</source>
        <translation>PIN establecido</translation>
    </message>
    <message>
        <source>PIN is not set</source>
        <translation>PIN no establecido</translation>
    </message>
    <message>
        <source>_retries left</source>
        <translation>_intentos restantes</translation>
    </message>
    <message>
        <source>support credential management</source>
        <translation>admite gestión de credenciales</translation>
    </message>
    <message>
        <source>Insert a security key into the USB port</source>
        <translation>Inserte una llave de seguridad en el puerto USB</translation>
    </message>
    <message>
        <source>Relying party - User name</source>
        <translation>Parte de confianza - Nombre de usuario</translation>
    </message>
    <message>
        <source>Resident credential counts:_, remains:</source>
        <translation>Credenciales residentes:_, disponibles:</translation>
    </message>
    <message>
        <source>rpId:</source>
        <translation>rpId:</translation>
    </message>
    <message>
        <source>rpIdHash:</source>
        <translation>rpIdHash:</translation>
    </message>
    <message>
        <source>credentialId:</source>
        <translation>credentialId:</translation>
    </message>
    <message>
        <source>No RP record</source>
        <translation>No hay registros de RP</translation>
    </message>
    <message>
        <source>to_characters</source>
        <translation>a_caracteres</translation>
    </message>
    <message>
        <source>Old PIN</source>
        <translation>PIN actual</translation>
    </message>
    <message>
        <source>New PIN</source>
        <translation>PIN nuevo</translation>
    </message>
    <message>
        <source>Confirm PIN</source>
        <translation>Confirmar PIN</translation>
    </message>
    <message>
        <source>Security PIN</source>
        <translation>PIN de seguridad</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>Aceptar</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>PIN Set/Change</source>
        <translation>Establecer/cambiar PIN</translation>
    </message>
    <message>
        <source>PIN authentication</source>
        <translation>Autenticación con PIN</translation>
    </message>
    <message>
        <source>PIN length must be_to_characters</source>
        <translation>El PIN debe tener de_a_caracteres</translation>
    </message>
    <message>
        <source>PINs do not match</source>
        <translation>Los PIN no coinciden</translation>
    </message>
    <message>
        <source>New PIN is set</source>
        <translation>Se ha establecido el nuevo PIN</translation>
    </message>
    <message>
        <source>Original PIN is wrong</source>
        <translation>El PIN actual es incorrecto</translation>
    </message>
    <message>
        <source>Set PIN failed</source>
        <translation>No se pudo establecer el PIN</translation>
    </message>
    <message>
        <source>Wrong PIN</source>
        <translation>PIN incorrecto</translation>
    </message>
    <message>
        <source>Reset Device</source>
        <translation>Restablecer dispositivo</translation>
    </message>
    <message>
        <source>All data and credentials on this key will be cleared</source>
        <translation>Se borrarán todos los datos y credenciales de esta llave</translation>
    </message>
    <message>
        <source>Reset device is successful</source>
        <translation>El dispositivo se ha restablecido correctamente</translation>
    </message>
    <message>
        <source>Reset device is failed</source>
        <translation>No se pudo restablecer el dispositivo</translation>
    </message>
    <message>
        <source>Advanced Mode</source>
        <translation>Modo avanzado</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Eliminar</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Atrás</translation>
    </message>
    <message>
        <source>Please re-insert the security Key</source>
        <translation>Vuelva a insertar la llave de seguridad</translation>
    </message>
    <message>
        <source>Touch your security twice within 10 seconds</source>
        <translation>Toque su llave de seguridad dos veces en menos de 10 segundos</translation>
    </message>
    <message>
        <source>Touch your security key</source>
        <translation>Toque su llave de seguridad</translation>
    </message>
    <message>
        <source>Tap your security key twice on your reader</source>
        <translation>Acerque su llave de seguridad al lector dos veces</translation>
    </message>
    <message>
        <source>Some credentials could not be deleted</source>
        <translation>No se pudieron eliminar algunas credenciales</translation>
    </message>
    <message>
        <source>Credentials could not be read, enter the PIN again</source>
        <translation>No se pudieron leer las credenciales; vuelva a introducir el PIN</translation>
    </message>
    <message>
        <source>No clear answer: the key may or may not have changed</source>
        <translation>Sin respuesta clara: la llave puede haber cambiado o no</translation>
    </message>
    <message>
        <source>Nothing was deleted</source>
        <translation>No se eliminó nada</translation>
    </message>
    <message>
        <source>Could not delete credentials, enter the PIN again</source>
        <translation>No se pudieron eliminar las credenciales; vuelva a introducir el PIN</translation>
    </message>
    <message>
        <source>The PIN is blocked: only a reset makes the key usable again</source>
        <translation>El PIN está bloqueado: solo restableciendo la llave podrá volver a usarla</translation>
    </message>
    <message>
        <source>Too many wrong PINs since the key was plugged in: remove and re-insert it</source>
        <translation>Demasiados PIN incorrectos desde que se conectó la llave: retírela y vuelva a insertarla</translation>
    </message>
    <message>
        <source>The key is busy or in use by another program: nothing was changed</source>
        <translation>La llave está ocupada o la usa otro programa: no se cambió nada</translation>
    </message>
</context>
</TS>
