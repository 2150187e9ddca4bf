# Writes a text file as Notepad on every Windows reads it right: UTF-8 with
# its byte-order mark, which Notepad takes for UTF-8 whatever the system's
# code page, and every LF as CR LF.
#
#   cmake -DINPUT=... -DOUTPUT=... -P windows_text.cmake
file(READ "${INPUT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
string(ASCII 239 187 191 mark)
file(WRITE "${OUTPUT}" "${mark}${text}")
