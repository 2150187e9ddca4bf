// The fixed texts in UTF-8, for systems whose terminals and file names use it.
#include "front/messages.h"

namespace brmark {

const char MSG_PROMPT[] = "改行位置に<br>を挿入します。\nファイル名を入力してください。\n";
const char MSG_NAME_TOO_LONG[] = "ファイル名が長すぎます。\n";
const char MSG_NOT_FOUND[] = "ファイルが存在しません。\n";
const char MSG_TARGET_EXISTS[] = "コピー先のファイルは既に存在してます。\n";
const char MSG_CREATE_FAILED[] = "コピー先のファイルを作成できませんでした。\n";
const char MSG_READ_FAILED[] = "ファイルの読み込みに失敗しました。\n";
const char MSG_WRITE_FAILED[] = "ファイルの書き込みに失敗しました。\n";
const char MSG_CREATED[] = "ファイルを作成しました。\n";
const char OUTPUT_PREFIX[] = "br付き ";
const std::size_t OUTPUT_PREFIX_LENGTH = sizeof OUTPUT_PREFIX - 1;
const Character OUTPUT_PREFIX_CHARACTERS[] = {U'b',
                                              U'r',
                                              U'付',
                                              INSIDE_CHARACTER,
                                              INSIDE_CHARACTER,
                                              U'き',
                                              INSIDE_CHARACTER,
                                              INSIDE_CHARACTER,
                                              U' '};
static_assert(sizeof OUTPUT_PREFIX_CHARACTERS / sizeof(Character) == sizeof OUTPUT_PREFIX - 1,
              "a character for every byte of the prefix");

const TextEncoding TEXT_ENCODING = TextEncoding::utf8;

}  // namespace brmark
