// The VCERT_ entry points of libspki1.so: contexts, signing, verification, texts.
// Each definition is checked against the list's declaration (provider/vcert_api.h).
#define VCERT_PROVIDER
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "spki1_core.h"
#include "spki1_status.h"
#include "vcert_api.h"

namespace {

struct Context {
  spki1::Profile profile;
};

// Process-wide table of open contexts. A handle is (generation << 12) | (slot + 1):
// never 0, and a released or reused slot does not answer to an old handle.
class ContextTable {
 public:
  static constexpr uint32_t kSlots = 4095;

  ~ContextTable() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slots_.clear();  // frees the keys while OpenSSL is still up
    }
    spki1::ReleaseEngine();
  }

  uint32_t Add(std::shared_ptr<Context> ctx) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t i = 0;
    while (i < slots_.size() && slots_[i].ctx) ++i;
    if (i == slots_.size()) {
      if (slots_.size() >= kSlots) return 0;
      slots_.emplace_back();
    }
    Slot& s = slots_[i];
    s.generation = (s.generation + 1) & 0xFFFFFu;
    if (s.generation == 0) s.generation = 1;
    s.ctx = std::move(ctx);
    return (s.generation << 12) | static_cast<uint32_t>(i + 1);
  }

  std::shared_ptr<Context> Get(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* s = Find(handle);
    return s ? s->ctx : nullptr;
  }

  std::shared_ptr<Context> Remove(uint32_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot* s = Find(handle);
    if (!s) return nullptr;
    return std::move(s->ctx);
  }

 private:
  struct Slot {
    std::shared_ptr<Context> ctx;
    uint32_t generation = 0;
  };

  Slot* Find(uint32_t handle) {
    uint32_t index = handle & 0xFFFu;
    if (index == 0 || index > slots_.size()) return nullptr;
    Slot& s = slots_[index - 1];
    if (!s.ctx || s.generation != (handle >> 12)) return nullptr;
    return &s;
  }

  std::mutex mutex_;
  std::vector<Slot> slots_;
};

ContextTable& Contexts() {
  // OpenSSL is initialised first, so that this table (constructed afterwards) is
  // destroyed before OpenSSL's own clean-up at exit.
  static const bool ready = OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) == 1;
  (void)ready;
  static ContextTable table;
  return table;
}

struct Text {
  uint32_t status;
  const char* text;
};

const Text kTexts[] = {
    {0, "Операция выполнена успешно"},
    {SPKI1_E_NOT_SUPPORTED, "Функция не поддерживается криптопровайдером spki1"},
    {SPKI1_E_INVALID_ARGUMENT, "Неверный параметр вызова криптопровайдера"},
    {SPKI1_E_INVALID_CONTEXT, "Неизвестный или уже закрытый контекст криптопровайдера"},
    {SPKI1_E_TOO_MANY_CONTEXTS, "Открыто слишком много контекстов криптопровайдера"},
    {SPKI1_E_NO_MEMORY, "Недостаточно памяти"},
    {SPKI1_E_ENGINE, "Не удалось загрузить модуль ГОСТ (engine gost) библиотеки OpenSSL"},
    {SPKI1_E_INTERNAL, "Внутренняя ошибка криптопровайдера"},
    {SPKI1_E_PROFILE_NOT_FOUND, "Профиль ключа не найден"},
    {SPKI1_E_PROFILE_DAMAGED, "Профиль повреждён: содержимое файла профиля не удаётся разобрать"},
    {SPKI1_E_KEY_MISMATCH, "Закрытый ключ профиля не соответствует его сертификату"},
    {SPKI1_E_PIN_REQUIRED, "Для ключа нужен PIN-код, а в тихом режиме он не задан"},
    {SPKI1_E_WRONG_PIN, "Неверный PIN-код ключа"},
    {SPKI1_E_NO_TERMINAL, "Для ключа нужен PIN-код, но нет терминала, чтобы его запросить"},
    {SPKI1_E_PIN_CANCELLED, "Ввод PIN-кода отменён"},
    {SPKI1_E_UNSUPPORTED_KEY, "Алгоритм ключа не поддерживается"},
    {SPKI1_E_SIGN_FAILED, "Не удалось сформировать подпись"},
    {SPKI1_E_FILE_MISSING, "В профиле нет нужного файла"},
    {SPKI1_E_FILE_UNREADABLE, "Файл профиля не удаётся прочитать"},
    {SPKI1_E_CERT_EXPIRED, "Срок действия сертификата профиля истёк, подпись не сформирована"},
    {SPKI1_E_CERT_NOT_YET_VALID,
     "Срок действия сертификата профиля ещё не начался, подпись не сформирована"},
    {SPKI1_E_NO_KEY,
     "В профиле нет закрытого ключа (профиль только для проверки подписей), подпись не "
     "сформирована"},
    {SPKI1_E_SIGNERS_FAILED, "Подпись не прошла проверку"},
    {SPKI1_E_CMS_MALFORMED, "Подпись повреждена: это не сообщение CMS в кодировке DER"},
    {SPKI1_E_CMS_NOT_SIGNED, "Сообщение CMS не содержит подписанных данных или подписей"},
    {SPKI1_SIGNER_DIGEST_MISMATCH, "Данные изменены после подписания: хэш не совпадает"},
    {SPKI1_SIGNER_BAD_SIGNATURE, "Значение подписи неверно"},
    {SPKI1_SIGNER_UNTRUSTED, "Сертификат подписанта не является доверенным"},
    {SPKI1_SIGNER_CERT_EXPIRED, "Срок действия сертификата подписанта истёк"},
    {SPKI1_SIGNER_CERT_NOT_YET_VALID, "Срок действия сертификата подписанта ещё не начался"},
    {SPKI1_SIGNER_CERT_NOT_FOUND, "Сертификат подписанта не найден"},
    {SPKI1_SIGNER_UNSUPPORTED_ALG, "Алгоритм подписи или хэширования не поддерживается"},
    {SPKI1_SIGNER_KEY_USAGE,
     "Сертификат подписанта не предназначен для электронной подписи (использование ключа не "
     "допускает ни digitalSignature, ни nonRepudiation)"},
    {SPKI1_SIGNER_IS_CA,
     "Сертификат подписанта является сертификатом удостоверяющего центра (CA) и не может "
     "подписывать документы"},
    {SPKI1_SIGNER_EXT_KEY_USAGE,
     "Расширенное использование ключа сертификата подписанта не допускает подписание "
     "документов"},
    {SPKI1_SIGNER_REVOKED, "Сертификат отозван"},
    {SPKI1_SIGNER_CRL_MISSING,
     "Нет списка отозванных сертификатов (СОС) издателя, а профиль требует его (crl=require)"},
    {SPKI1_SIGNER_CRL_EXPIRED,
     "Список отозванных сертификатов (СОС) издателя просрочен или ещё не действует, а профиль "
     "требует действующий (crl=require)"},
    {SPKI1_SIGNER_CRL_BAD,
     "Подпись списка отозванных сертификатов (СОС) не подтверждается сертификатом его издателя"},
    {SPKI1_SIGNER_NOT_VALID_AT_SIGNING,
     "Сертификат не действовал во время подписания, указанное в подписи"},
    {SPKI1_SIGNER_SIGNED_IN_FUTURE, "Время подписания, указанное в подписи, ещё не наступило"},
};

// What this thread's last failure named (a profile file, a certificate's date), added to
// the text of its status: the binding asks for that text right after the failing call.
// A verification keeps what its failing signers name, the first one of each status.
// Plain storage, so that no thread-exit destructor keeps the library from unloading.
constexpr size_t kKeptSubjects = 8;
thread_local VCERT_STATUS t_failedStatus[kKeptSubjects];
thread_local char t_failedSubject[kKeptSubjects][768];

void ForgetSubjects() {
  for (VCERT_STATUS& s : t_failedStatus) s = 0;
}

void KeepSubject(uint32_t status, const std::string& subject) {
  for (size_t i = 0; i < kKeptSubjects; ++i) {
    if (t_failedStatus[i] == status) return;  // the first one of the status is named
    if (t_failedStatus[i] != 0) continue;
    size_t n = std::min(subject.size(), sizeof t_failedSubject[i] - 1);
    while (n > 0 && n < subject.size() && (static_cast<unsigned char>(subject[n]) & 0xC0) == 0x80)
      --n;  // whole characters
    std::memcpy(t_failedSubject[i], subject.data(), n);
    t_failedSubject[i][n] = '\0';
    t_failedStatus[i] = status;
    return;
  }
}

const char* KeptSubject(VCERT_STATUS status) {
  for (size_t i = 0; i < kKeptSubjects; ++i)
    if (status != 0 && t_failedStatus[i] == status && t_failedSubject[i][0])
      return t_failedSubject[i];
  return nullptr;
}

VCERT_STATUS Fail(const spki1::Error& e) {
  ForgetSubjects();
  KeepSubject(e.status, e.subject);
  return e.status;
}

template <typename F>
VCERT_STATUS Guard(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return SPKI1_E_NO_MEMORY;
  } catch (...) {
    return SPKI1_E_INTERNAL;
  }
}

}  // namespace

extern "C" {

VCERT_EXPORT const char* VCERT_CALL VCERT_GetErrorText(VCERT_STATUS status, char* buffer,
                                                       uint32_t bufferSize) {
  for (const Text& t : kTexts) {
    if (t.status != status) continue;
    if (!buffer || bufferSize == 0) return t.text;
    char text[1024 + sizeof t_failedSubject[0]];
    if (const char* subject = KeptSubject(status)) {
      std::snprintf(text, sizeof text, "%s: %s", t.text, subject);
    } else {
      std::snprintf(text, sizeof text, "%s", t.text);
    }
    size_t n = std::strlen(text);
    if (n >= bufferSize) {
      n = bufferSize - 1;
      while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;  // whole characters
    }
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
  }
  return nullptr;
}

VCERT_EXPORT void* VCERT_CALL VCERT_AllocMem(VCERT_CONTEXT, uint32_t) { return nullptr; }

VCERT_EXPORT void* VCERT_CALL VCERT_ReallocMem(VCERT_CONTEXT, void*, uint32_t) { return nullptr; }

VCERT_EXPORT void VCERT_CALL VCERT_FreeMem(VCERT_CONTEXT, void* memory) { std::free(memory); }

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Initialize(const char* profile, uint32_t flags,
                                                      VCERT_CONTEXT* context) {
  if (context) *context = 0;
  if (!profile || !context) return SPKI1_E_INVALID_ARGUMENT;
  return Guard([&]() -> VCERT_STATUS {
    ContextTable& table = Contexts();
    auto ctx = std::make_shared<Context>();
    spki1::PinMode mode =
        (flags & VCERT_FLAG_SILENT) ? spki1::PinMode::Silent : spki1::PinMode::AskTerminal;
    std::optional<spki1::Error> err;
    {
      // The GOST engine's key and certificate decoding is not safe to run on two threads
      // at once (two workers opening profiles together leaked the engine's curve groups),
      // so profiles are opened one at a time; signing and verifying still run in parallel.
      static std::mutex openLock;
      std::lock_guard<std::mutex> lock(openLock);
      err = spki1::OpenProfile(profile, mode, ctx->profile);
    }
    ERR_clear_error();
    if (err) return Fail(*err);
    uint32_t handle = table.Add(std::move(ctx));
    if (handle == 0) return SPKI1_E_TOO_MANY_CONTEXTS;
    *context = handle;
    return 0;
  });
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_InitializeEx(const char*, uint32_t, void*,
                                                        VCERT_CONTEXT* context) {
  if (context) *context = 0;
  return SPKI1_E_NOT_SUPPORTED;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_InitMinimal(uint32_t, VCERT_CONTEXT* context) {
  if (context) *context = 0;
  return SPKI1_E_NOT_SUPPORTED;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_Uninitialize(VCERT_CONTEXT context) {
  return Guard([&]() -> VCERT_STATUS {
    std::shared_ptr<Context> ctx = Contexts().Remove(context);
    return ctx ? 0 : SPKI1_E_INVALID_CONTEXT;
  });
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_CmsBlkDetSignMem(VCERT_CONTEXT context,
                                                            const VCERT_SIGN_PARAMS*,
                                                            const VCERT_BLOB* data,
                                                            const VCERT_BLOB*,
                                                            VCERT_BLOB* signature) {
  if (signature) {
    signature->cbData = 0;
    signature->pbData = nullptr;
  }
  if (!data || !signature || (data->cbData && !data->pbData)) return SPKI1_E_INVALID_ARGUMENT;
  return Guard([&]() -> VCERT_STATUS {
    std::shared_ptr<Context> ctx = Contexts().Get(context);
    if (!ctx) return SPKI1_E_INVALID_CONTEXT;
    // A signature by a certificate out of its validity period is rejected by every
    // receiver; better refuse it here, where the signer can still act.
    if (!ctx->profile.key)
      return Fail({SPKI1_E_NO_KEY, "the profile has no key", ctx->profile.dir});
    if (std::optional<spki1::Error> e = spki1::CertificateInForce(ctx->profile)) return Fail(*e);
    std::string der;
    std::optional<spki1::Error> err = spki1::SignDetached(
        ctx->profile.key.get(), ctx->profile.cert.get(), data->pbData, data->cbData, der);
    ERR_clear_error();
    if (err) return err->status;
    auto* out = static_cast<uint8_t*>(std::malloc(der.size()));
    if (!out) return SPKI1_E_NO_MEMORY;
    std::memcpy(out, der.data(), der.size());
    signature->cbData = static_cast<uint32_t>(der.size());
    signature->pbData = out;
    return 0;
  });
}

VCERT_EXPORT void VCERT_CALL VCERT_FreeVerifyResult(VCERT_CONTEXT, VCERT_VERIFY_RESULT* result) {
  if (!result) return;
  std::free(result->Signers);
  result->Signers = nullptr;
  result->Count = 0;
}

VCERT_EXPORT VCERT_STATUS VCERT_CALL VCERT_CmsBlkDetVerifyMem(
    VCERT_CONTEXT context, const VCERT_VERIFY_PARAMS*, const VCERT_BLOB* data,
    const VCERT_BLOB* signature, const VCERT_BLOB*, VCERT_VERIFY_RESULT* result) {
  if (result) {
    result->Count = 0;
    result->Signers = nullptr;
  }
  if (!data || !signature || !result || (data->cbData && !data->pbData) ||
      (signature->cbData && !signature->pbData)) {
    return SPKI1_E_INVALID_ARGUMENT;
  }
  return Guard([&]() -> VCERT_STATUS {
    std::shared_ptr<Context> ctx = Contexts().Get(context);
    if (!ctx) return SPKI1_E_INVALID_CONTEXT;
    std::vector<spki1::SignerVerdict> signers;
    std::optional<spki1::Error> err = spki1::VerifyDetached(
        ctx->profile, data->pbData, data->cbData, signature->pbData, signature->cbData, signers);
    ERR_clear_error();
    if (err) return err->status;
    auto* entries =
        static_cast<VCERT_SIGNER_RESULT*>(std::calloc(signers.size(), sizeof(VCERT_SIGNER_RESULT)));
    if (!entries) return SPKI1_E_NO_MEMORY;
    bool allGood = true;
    ForgetSubjects();
    for (size_t i = 0; i < signers.size(); ++i) {
      entries[i].Status = signers[i].status;
      if (signers[i].status != 0) allGood = false;
      if (signers[i].status != 0) KeepSubject(signers[i].status, signers[i].subject);
    }
    result->Count = static_cast<uint32_t>(signers.size());
    result->Signers = entries;
    return allGood ? 0 : VCERT_STATUS_SIGNERS_FAILED;
  });
}

}  // extern "C"
