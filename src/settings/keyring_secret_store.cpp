// The keyring through QtKeychain. Its jobs are asynchronous Qt jobs: a command line has no event loop running, so
// each call runs one of its own until the job finishes or the bound passes.
#include "runtime/codepage.h"
#include "settings/secret_store.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <qt6keychain/keychain.h>

namespace velpic {

namespace {

// Identifies the item together with its label: the file's section and key, so the profiles never share one.
QString item_key(const SecretSlot& slot) {
    return QString::fromStdString("velpic/" + to_utf8(slot.section) + "/" + slot.key);
}

class KeyringStore final : public SecretStore {
public:
    explicit KeyringStore(std::chrono::milliseconds bound) : bound_(bound) {}

    std::optional<std::string> read(const SecretSlot& slot) override {
        auto* job = new QKeychain::ReadPasswordJob(QString::fromStdString(slot.label));
        job->setKey(item_key(slot));
        std::optional<std::string> value;
        run(job, [&value](QKeychain::Job& done) {
            if (done.error() == QKeychain::EntryNotFound)
                value = std::string();
            else if (done.error() == QKeychain::NoError) {
                const QByteArray data = static_cast<QKeychain::ReadPasswordJob&>(done).binaryData();
                value = std::string(data.constData(), static_cast<std::size_t>(data.size()));
            }
        });
        return value;
    }

    bool write(const SecretSlot& slot, const std::string& value) override {
        auto* job = new QKeychain::WritePasswordJob(QString::fromStdString(slot.label));
        job->setKey(item_key(slot));
        // Bytes as the file keeps them (GBK where not ASCII), so reading back gives the same bytes.
        job->setBinaryData(QByteArray(value.data(), static_cast<qsizetype>(value.size())));
        bool written = false;
        run(job, [&written](QKeychain::Job& done) { written = done.error() == QKeychain::NoError; });
        return written;
    }

    bool remove(const SecretSlot& slot) override {
        auto* job = new QKeychain::DeletePasswordJob(QString::fromStdString(slot.label));
        job->setKey(item_key(slot));
        bool removed = false;
        run(job, [&removed](QKeychain::Job& done) {
            removed = done.error() == QKeychain::NoError || done.error() == QKeychain::EntryNotFound;
        });
        return removed;
    }

private:
    // Starts job and calls take with it once it finishes, unless the bound passes first. A job still waiting then
    // is left to delete itself whenever its answer comes, since the keyring may still call it back.
    void run(QKeychain::Job* job, const std::function<void(QKeychain::Job&)>& take) const {
        // A QEventLoop needs an application object; the command line makes none, so one lives for this call.
        std::unique_ptr<QCoreApplication> own_app;
        static int argc = 1;
        static char name[] = "velpic";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr)
            own_app = std::make_unique<QCoreApplication>(argc, argv);
        job->setAutoDelete(false);
        QEventLoop loop;
        bool finished = false;
        QObject::connect(job, &QKeychain::Job::finished, &loop, [&](QKeychain::Job* done) {
            finished = true;
            take(*done);
            loop.quit();
        });
        QTimer::singleShot(bound_, &loop, &QEventLoop::quit);
        job->start();
        if (!finished)
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        if (finished) {
            delete job;
        } else {
            QObject::disconnect(job, nullptr, &loop, nullptr);
            job->setAutoDelete(true);
        }
    }

    std::chrono::milliseconds bound_;
};

} // namespace

std::unique_ptr<SecretStore> make_keyring_store(std::chrono::milliseconds bound) {
    return std::make_unique<KeyringStore>(bound);
}

} // namespace velpic
