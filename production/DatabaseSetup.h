#pragma once
// The records database of the profile, installed as the records store for a front end's run.
#include <memory>
#include <string>

#include "production/Database.h"

namespace production {

class InstalledDatabase {
public:
    InstalledDatabase();
    ~InstalledDatabase(); // uninstalls it
    InstalledDatabase(const InstalledDatabase&) = delete;
    InstalledDatabase& operator=(const InstalledDatabase&) = delete;

    // From [Settings] Database= of the profile at profilePath: "" when there is none or it is
    // installed, else why it cannot be used; a store is installed then all the same, one that
    // refuses every reservation and record, so no number comes from elsewhere.
    std::string Install(const std::string& profilePath);
    // Delivers what earlier runs kept; a line for the operator when there was something to
    // deliver ("" otherwise).
    std::string Deliver();
    DatabaseStore* Store() const { return store_.get(); }
    void Uninstall();

private:
    std::unique_ptr<DatabaseStore> store_;
    std::unique_ptr<records::RecordsStore> unusable_;
};

} // namespace production
