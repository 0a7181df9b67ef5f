// The record of one picture in the store an upload context names (the local record file or the MySQL table), for
// the steps that work on single pictures: delete, restore and backup.
#pragma once

#include "records/upload_record.h"
#include "upload/upload_picture.h"

#include <optional>
#include <string>
#include <vector>

namespace velpic {

struct PictureRecordLookup {
    bool answered = false;              // the store could be asked
    std::optional<std::string> address; // the recorded address of the digest (GBK)
    std::string error;                  // GBK, when not answered
};

// The recorded address of digest: in MySQL mode whichever machine wrote it.
PictureRecordLookup find_picture_record(const UploadContext& context, const std::string& digest);

struct PictureRecordRemoval {
    bool ok = false;      // no record of digest is left
    bool removed = false; // one was taken out
    std::string error;    // GBK, when not ok
};

// Takes the record of digest out: the local file rewritten without its section in one step, or the table's row of
// that digest deleted, whichever machine wrote it.
PictureRecordRemoval remove_picture_record(const UploadContext& context, const std::string& digest);

// The records as the records page lists them (MySQL: this machine's); error (GBK) tells a failed listing.
std::vector<UploadRecord> list_picture_records(const UploadContext& context, std::string* error = nullptr);

// Every record of the store, one per digest in store order: the local record file's, or the rows of every machine in
// MySQL mode (one per digest even in a table made without its key, the first row's values). error (GBK) tells a
// failed listing.
std::vector<UploadRecord> list_every_picture_record(const UploadContext& context, std::string* error = nullptr);

struct PictureRecordUpdate {
    bool ok = false;   // the record of digest now holds the new address
    std::string error; // GBK, when not ok
};

// Points the record of digest at new_address: in the local file only while it still holds old_address (the
// section rewritten in one step), in MySQL every machine's row of digest.
PictureRecordUpdate replace_picture_record_address(const UploadContext& context, const std::string& digest,
                                                   const std::string& old_address, const std::string& new_address);

// The type a recorded address gives its file: what follows the digest in its last part (".png"), or empty when the
// address does not name digest's file.
std::string recorded_type(const std::string& address, const std::string& digest);

} // namespace velpic
